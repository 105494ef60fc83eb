// The request parser against images the client library writes, and against
// damaged files of every kind a directory can hold.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "e2e_util.h"
#include "prcontroller/request.h"

namespace prcontroller {
namespace {

using namespace testutil;

using Args = std::vector<std::string>;
using Line = Request::Line;

TEST(ControllerRequest, ClientImagesAreWholeCutOrAmbiguous) {
  const std::string n70(70, 'n');
  const struct {
    const char* what;
    Args args;
    Line line;
    Args whole;  // when cut: the words certainly whole; when ambiguous: none
    // Where the line is blanked from, for a cut a client's line of these
    // words never has.
    std::size_t cutAt = prclient::kLineField;
  } cases[] = {
      {"no arguments", {}, Line::kComplete, {}},
      {"blanks inside and at the ends", {"-j", "  two  words  "}, Line::kComplete, {}},
      {"quotes inside", {"-j", "say \"hi\"", "\"", "a\"b\""}, Line::kComplete, {}},
      {"empty arguments", {"", "-j", ""}, Line::kComplete, {}},
      {"fourteen arguments", Args(14, "-l"), Line::kComplete, {}},
      {"control and UTF-8", {"-j", "\x1b[31m\x7f", "Z\xc3\xbcrich"}, Line::kComplete, {}},
      // "prwatch" and ` "-j"` leave 64 characters: the line is full, not cut.
      {"all 79 characters used", {"-j", std::string(64, 'x')}, Line::kComplete, {}},
      {"cut inside the last word", {"-p", "q1", "-j", n70}, Line::kCut, {"-p", "q1", "-j"}},
      {"cut inside an earlier word", {"-j", n70, "-p", "q1"}, Line::kCut, {"-j"}},
      {"cut between words", {"-j", std::string(64, 'n'), "-l"}, Line::kCut, {"-j"}},
      {"cut after an opening quote", {"-j", std::string(62, 'n'), "-l"}, Line::kCut, {"-j"}},
      {"cut after an empty word", {"-j", "", n70}, Line::kCut, {"-j", ""}},
      {"fifteen words, too many to fit", Args(14, "-lv"), Line::kCut, Args(11, "-lv")},
      {"cut right after the request name", {"-l", "-p"}, Line::kCut, {}, 7},
      // `-j` and `a" "b` reads equally well as the three words -j, a, b.
      {"quote blank quote inside", {"-j", "a\" \"b"}, Line::kAmbiguous, {}},
      // Cut as well: the extra separators must not pass for whole words.
      {"ambiguous and cut", {"-j", "a\" \"b\" \"c", n70}, Line::kAmbiguous, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Request r;
    std::string err;
    std::string image = ClientImage("sprAb12Z9", "1f2e3dhost.ex", "prwatch", c.args);
    const std::size_t lost = prclient::kLineField - c.cutAt;
    image.replace(prclient::kLineAt + c.cutAt, lost, lost, ' ');
    ASSERT_TRUE(ParseRequest(image, &r, &err)) << err;
    // The reply name ends in part of the client's host name.
    EXPECT_EQ(std::tie(r.control_name, r.reply_name, r.request_name, r.word_count, r.line),
              std::tuple("sprAb12Z9", "1f2e3dhost.ex", "prwatch", static_cast<int>(c.args.size()) + 1, c.line));
    EXPECT_EQ(r.args, c.line == Line::kComplete ? c.args : c.whole);
  }
}

// Hand-made damage: each case changes a valid image in one way. A damaged
// file is still answered, with why, when its reply name is safely readable.
TEST(ControllerRequest, MalformedImagesAreRefusedWithAReason) {
  const std::string good = ClientImage("sprAAAAAA", "reply01", "prwatch", {"-l"});
  Request r;
  std::string err, reply;
  auto with = [&](std::size_t at, std::string_view bytes) {
    return std::string(good).replace(at, bytes.size(), bytes);
  };
  const std::optional<std::string> none, reply01 = "reply01";
  const struct {
    std::string image;
    const char* reason;  // a fragment of the explanation
    std::optional<std::string> reply_to;
  } cases[] = {
      {"", "0 bytes", none},
      {good.substr(0, 28), "28 bytes", none},  // the reply name still arriving
      {good.substr(0, 29), "29 bytes", reply01},  // and just arrived
      {good.substr(0, 131), "131 bytes", reply01},
      {good + " ", "133 bytes", reply01},
      {"x" + good, "133 bytes", none},  // every field one byte late
      {with(14, " "), "byte 14", none},
      {with(131, " "), "byte 131", reply01},
      {with(17, std::string(1, '\0')), "NUL inside the reply name", none},
      {with(60, std::string(1, '\0')), "NUL inside the command line", reply01},
      {with(0, std::string(14, ' ')), "control name is empty", reply01},
      {with(15, std::string(14, ' ')), "reply name is empty", none},
      {with(15, "../etc/passwd "), "cannot name a file", none},
      {with(15, "abcdefghijklmn"), "cannot name a file", none},
      {with(15, "sprXYZXYZ"), "cannot name a file", none},
      {with(15, "r\x1b"), "0x1B", none},
      {with(45, "2x    "), "not a number", reply01},
      {with(45, "0     "), "outside 1 to 15", reply01},
      {with(52, "prwatchx"), "start with the request name", reply01},
      {with(52, "prwatch -l  "), "double quote", reply01},
      {with(45, "1 "), "word count is 1", reply01},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("case " + std::to_string(&c - cases));
    EXPECT_FALSE(ParseRequest(c.image, &r, &err));
    EXPECT_NE(err.find(c.reason), std::string::npos) << "error was: " << err;
    EXPECT_EQ(ReadableReplyName(c.image, &reply) ? std::optional(reply) : std::nullopt,
              c.reply_to);
  }
}

TEST(ControllerRequest, RequestFileNames) {
  const std::string spr(prclient::kControlPrefix), good = spr + "Ab12Z9";
  for (const std::string& name : {good, spr + "Ab12Z", good + "0", "x" + good.substr(1), spr + "Ab 2Z9", spr + "Ab\n2Z9"})
    EXPECT_EQ(IsRequestFileName(name), name == good) << name;
}

}  // namespace
}  // namespace prcontroller
