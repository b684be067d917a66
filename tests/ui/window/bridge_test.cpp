// The byte-level bridge: call decoding, narrowing, replies, resource names.
#include <gtest/gtest.h>

#include "ui/bridge.h"
#include "ui/resources.h"

namespace {

TEST(BridgeDecode, ReadsIdentifierAndTypedArgumentsInScriptOrder) {
  bridge::ScriptCall call;
  ASSERT_TRUE(bridge::DecodeCall("id=100008&q=7&a=n50&a=s00610062&a=u&a=n-2.75", &call));
  EXPECT_EQ(call.identifier, 100008);
  ASSERT_EQ(call.args.size(), 4u);
  EXPECT_EQ(call.args[0].type, bridge::ScriptArg::Number);
  EXPECT_EQ(call.args[0].AsInt(), 50);
  EXPECT_EQ(call.args[1].type, bridge::ScriptArg::String);
  EXPECT_EQ(call.args[1].text, u"ab");
  EXPECT_EQ(call.args[2].type, bridge::ScriptArg::Undefined);
  EXPECT_EQ(call.args[3].AsInt(), -2);  // truncated toward zero
}

TEST(BridgeDecode, RefusesMalformedCalls) {
  bridge::ScriptCall call;
  EXPECT_FALSE(bridge::DecodeCall("a=n1", &call));  // no identifier
  EXPECT_FALSE(bridge::DecodeCall("id=12x", &call));
  EXPECT_FALSE(bridge::DecodeCall("id=1&a=s006", &call));  // not whole units
  EXPECT_FALSE(bridge::DecodeCall("id=1&a=s00zz", &call));
  EXPECT_FALSE(bridge::DecodeCall("id=1&a=x", &call));
  EXPECT_FALSE(bridge::DecodeCall("id=1&a=nabc", &call));
  EXPECT_FALSE(bridge::DecodeCall("id=99999999999", &call));
  EXPECT_TRUE(bridge::DecodeCall("id=1&a=s", &call));  // the empty string
  EXPECT_EQ(call.args[0].text, u"");
}

TEST(BridgeArgs, IntegersOutOfRangeOrNotNumbersGiveZero) {
  bridge::ScriptArg arg;
  arg.type = bridge::ScriptArg::Number;
  arg.number = 1e300;
  EXPECT_EQ(arg.AsInt(), 0);
  arg.number = 0.0 / 0.0;
  EXPECT_EQ(arg.AsInt(), 0);
  arg.type = bridge::ScriptArg::String;
  arg.text = u"42";
  EXPECT_EQ(arg.AsInt(), 42);
  arg.type = bridge::ScriptArg::Undefined;
  EXPECT_EQ(arg.AsInt(), 0);
}

TEST(BridgeArgs, Utf8FormKeepsPairsAndReplacesLoneSurrogates) {
  bridge::ScriptArg arg;
  arg.type = bridge::ScriptArg::String;
  arg.text = u"\u00e9\U0001F600";
  EXPECT_EQ(arg.AsUtf8(), "\xC3\xA9\xF0\x9F\x98\x80");
  arg.text = std::u16string(1, static_cast<char16_t>(0xD800)) + u"x";
  EXPECT_EQ(arg.AsUtf8(), "\xEF\xBF\xBDx");
}

TEST(BridgeNarrow, KeepsTheLowByteOfEachUnitUpToZero) {
  EXPECT_EQ(bridge::Narrow(u"abc"), "abc");
  EXPECT_EQ(bridge::Narrow(u"\u0141\u00e9"), "\x41\xE9");
  EXPECT_EQ(bridge::Narrow(std::u16string(u"ab\0cd", 5)), "ab");
  EXPECT_EQ(bridge::Narrow(u""), "");
  EXPECT_EQ(bridge::Latin1ToUtf8("\xE9t\xE9"), "\xC3\xA9t\xC3\xA9");
}

TEST(BridgeReply, CarriesStatusResultAndPageCalls) {
  std::vector<bridge::PageCall> calls(1);
  calls[0].number = 7;
  calls[0].name = "disconnecting";
  calls[0].args = {"Dis\"conn\\ecting\n"};
  EXPECT_EQ(bridge::EncodeReply(0, true, "ok", calls),
            "{\"s\":0,\"t\":1,\"r\":\"ok\",\"c\":[[7,\"disconnecting\",[\"Dis\\\"conn\\\\ecting\\u000a\"]]]}");
  EXPECT_EQ(bridge::EncodeReply(bridge::kInvalidArgument, true, nullptr, {}),
            "{\"s\":-2147024809,\"t\":1,\"r\":\"\",\"c\":[]}");
  // A narrow result is Latin-1.
  EXPECT_EQ(bridge::EncodeReply(0, true, "\xE9", {}), "{\"s\":0,\"t\":1,\"r\":\"\xC3\xA9\",\"c\":[]}");
}

TEST(BridgeReply, StrayBytesInPageTextsStayValidJson) {
  std::string out;
  bridge::AppendJsonString(&out, std::string("a\xFF"
                                             "b\x7F",
                                             4));
  EXPECT_EQ(out, "\"a\\u00ffb\\u007f\"");
}

TEST(Resources, NamesMatchWithoutCaseAndTheBarePageIsHtml) {
  const resources::Resource* page = resources::FindResource("/main.html");
  ASSERT_NE(page, nullptr);
  EXPECT_STREQ(page->type, "23");
  EXPECT_NE(resources::FindResource("MAIN.HTML"), nullptr);
  EXPECT_NE(resources::FindResource("/23/Main.Html"), nullptr);
  const resources::Resource* script = resources::FindResource("/js/htmlcontrol.js");
  ASSERT_NE(script, nullptr);
  EXPECT_STREQ(script->name, "HTMLCONTROL.JS");
  EXPECT_NE(resources::FindResource("/IMGS/Arrow-Down-Circle.PNG"), nullptr);
  EXPECT_EQ(resources::FindResource("/IMGS/main.html"), nullptr);  // wrong type
  EXPECT_EQ(resources::FindResource("/JS/HtmlControl.js/x"), nullptr);
  EXPECT_EQ(resources::FindResource("/"), nullptr);
  EXPECT_EQ(resources::FindResource("/averyveryverylongtypename/x"), nullptr);
}

}  // namespace
