// window.external: each name the program registered resolves to its
// identifier; a call goes to the program as a synchronous request and
// returns its text. Page functions the program called meanwhile come back
// with the reply and run before the call returns.
// Wrapped by the program as (function (ids) { ... })({"Show": 100000, ...}).
'use strict';
var lastPageCall = 0;

function runPageCall(number, name, args) {
  if (number <= lastPageCall) return 2;  // overtaken by a later call already run
  lastPageCall = number;
  var f = window[name];
  if (typeof f !== 'function') return 0;
  f.apply(window, args);
  return 1;
}
Object.defineProperty(window, '__quorvantaPageCall', {value: runPageCall});

function hex(s) {
  var out = '';
  for (var i = 0; i < s.length; i++) out += ('000' + s.charCodeAt(i).toString(16)).slice(-4);
  return out;
}

function encodeArg(v) {
  if (v === undefined) return 'u';
  if (typeof v === 'number') return 'n' + String(v);
  if (typeof v === 'boolean') return 'n' + (v ? '1' : '0');
  return 's' + hex(String(v));
}

var counter = 0;
function invoke(id, name, args) {
  var query = 'id=' + id + '&q=' + (++counter);
  for (var i = 0; i < args.length; i++) query += '&a=' + encodeArg(args[i]);
  var request = new XMLHttpRequest();
  request.open('GET', 'res:///~external?' + query, false);
  request.send();
  var reply = JSON.parse(request.responseText);
  var calls = reply.c;
  for (var k = 0; k < calls.length; k++) {
    try {
      runPageCall(calls[k][0], calls[k][1], calls[k][2]);
    } catch (e) {
      // A failing page function must not turn into a failure of this call.
      setTimeout(function () { throw e; }, 0);
    }
  }
  if (reply.s !== 0) throw new Error('external.' + name + ' failed (0x' + (reply.s >>> 0).toString(16) + ')');
  return reply.t ? reply.r : undefined;
}

var external = new Proxy({}, {
  get: function (target, name) {
    if (typeof name !== 'string') return undefined;
    if (!Object.prototype.hasOwnProperty.call(ids, name))
      throw new TypeError("Object doesn't support property or method '" + name + "'");
    var id = ids[name];
    return function () { return invoke(id, name, Array.prototype.slice.call(arguments)); };
  },
  has: function (target, name) { return Object.prototype.hasOwnProperty.call(ids, name); },
  set: function () { return true; },
});
Object.defineProperty(window, 'external', {value: external, configurable: false, writable: false});
