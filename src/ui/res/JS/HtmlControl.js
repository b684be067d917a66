// Support script of the page: hit-test codes for external.ResizeWindow and $.
var HTLEFT = 10;
var HTRIGHT = 11;
var HTTOP = 12;
var HTTOPLEFT = 13;
var HTTOPRIGHT = 14;
var HTBOTTOM = 15;
var HTBOTTOMLEFT = 16;
var HTBOTTOMRIGHT = 17;
var HTBORDER = 18;

function $(id) {
  return document.getElementById(id);
}
