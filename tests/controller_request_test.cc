// The request parser against images the client library writes, and against
// damaged files of every kind a directory can hold.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "controller_test_util.h"
#include "prcontroller/request.h"

namespace prcontroller {
namespace {

using ctltest::ClientImage;
using Args = std::vector<std::string>;

Request MustParse(const std::string& image) {
  const ParsedRequest parsed = ParseRequest(image);
  EXPECT_TRUE(parsed.request) << parsed.error;
  return parsed.request.value_or(Request{});
}

std::string ParseError(const std::string& image) {
  const ParsedRequest parsed = ParseRequest(image);
  EXPECT_FALSE(parsed.request);
  return parsed.error;
}

TEST(ControllerRequest, ClientImagesRoundTrip) {
  const struct {
    const char* what;
    Args args;
  } cases[] = {
      {"no arguments", {}},
      {"plain options", {"-p", "queue1", "-l"}},
      {"blanks inside and at the ends", {"-j", "  two  words  "}},
      {"quotes inside", {"-j", "say \"hi\"", "\"", "a\"b\""}},
      {"empty arguments", {"", "-j", ""}},
      {"attached value", {"-pq1"}},
      {"fourteen arguments", Args(14, "-l")},
      {"control characters and UTF-8", {"-j", "\x1b[31m\x7f", "Z\xc3\xbcrich"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Request r = MustParse(ClientImage("sprAb12Z9", "1f2e3d4c5b6a7", "prwatch", c.args));
    EXPECT_EQ(r.control_name, "sprAb12Z9");
    EXPECT_EQ(r.reply_name, "1f2e3d4c5b6a7");
    EXPECT_EQ(r.request_name, "prwatch");
    EXPECT_EQ(r.word_count, static_cast<int>(c.args.size()) + 1);
    EXPECT_EQ(r.line, Request::Line::kComplete);
    EXPECT_EQ(r.args, c.args);
  }
}

TEST(ControllerRequest, LongRequestNameIsCutToThirteen) {
  const Request r = MustParse(ClientImage("sprAAAAAA", "r1", "averylongrequestname", {"-l"}));
  EXPECT_EQ(r.request_name, "averylongrequ");
  EXPECT_EQ(r.args, Args{"-l"});
}

TEST(ControllerRequest, LineThatFillsAllSeventyNineCharactersIsWhole) {
  // "prwatch" and ` "-j"` leave 79 - 12 - 3 characters for the name.
  const std::string name(79 - 12 - 3, 'x');
  const std::string image = ClientImage("sprAAAAAA", "r1", "prwatch", {"-j", name});
  ASSERT_EQ(image[52 + 78], '"');
  const Request r = MustParse(image);
  EXPECT_EQ(r.line, Request::Line::kComplete);
  EXPECT_EQ(r.args, (Args{"-j", name}));
}

TEST(ControllerRequest, CutLinesAreReportedNotGuessed) {
  const std::string long_name(70, 'n');
  const struct {
    const char* what;
    Args args;
    Args whole;  // the words certainly whole
  } cases[] = {
      {"cut inside the last word", {"-p", "q1", "-j", long_name}, {"-p", "q1", "-j"}},
      {"cut inside an earlier word", {"-j", long_name, "-p", "q1"}, {"-j"}},
      {"cut between words", {"-j", std::string(64, 'n'), "-l"}, {"-j"}},
      {"cut right after an opening quote", {"-j", std::string(62, 'n'), "-l"}, {"-j"}},
      {"fifteen words, too many to fit", Args(14, "-lv"), Args(11, "-lv")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Request r = MustParse(ClientImage("sprAAAAAA", "r1", "prwatch", c.args));
    EXPECT_EQ(r.word_count, static_cast<int>(c.args.size()) + 1);
    EXPECT_EQ(r.line, Request::Line::kCut);
    EXPECT_EQ(r.args, c.whole);
  }
}

TEST(ControllerRequest, QuoteBlankQuoteInsideAnArgumentIsAmbiguous) {
  // `-j` and `a" "b` reads equally well as three words `-j`, `a`, `b`
  // written by a client that sent two; the word count breaks no tie here.
  const Request two = MustParse(ClientImage("sprAAAAAA", "r1", "prwatch", {"-j", "a\" \"b"}));
  EXPECT_EQ(two.line, Request::Line::kAmbiguous);
  // With the count matching the separators, the split is the only one.
  const Request three = MustParse(ClientImage("sprAAAAAA", "r1", "prwatch", {"-j", "a", "b"}));
  EXPECT_EQ(three.line, Request::Line::kComplete);
  // Overlapping separators (`" " "`) cannot be split either.
  const Request overlap = MustParse(ClientImage("sprAAAAAA", "r1", "prwatch", {"a", " \"b"}));
  EXPECT_EQ(overlap.line, Request::Line::kAmbiguous);
  // Cut as well: the extra separators still say so, rather than passing
  // for more whole words than were announced.
  const Request cut = MustParse(ClientImage("sprAAAAAA", "r1", "prwatch",
                                            {"-j", "a\" \"b\" \"c", std::string(70, 'n')}));
  EXPECT_EQ(cut.line, Request::Line::kAmbiguous);
}

// Hand-made damage: each case changes a valid image in one way.
TEST(ControllerRequest, MalformedImagesAreRefusedWithAReason) {
  const std::string good = ClientImage("sprAAAAAA", "reply01", "prwatch", {"-l"});
  ASSERT_TRUE(ParseRequest(good).request);
  auto with = [&](std::size_t at, std::string_view bytes) {
    std::string image = good;
    image.replace(at, bytes.size(), bytes);
    return image;
  };
  const struct {
    const char* what;
    std::string image;
    const char* reason;  // a fragment of the explanation
  } cases[] = {
      {"empty", "", "0 bytes"},
      {"short", good.substr(0, 131), "131 bytes"},
      {"long", good + " ", "133 bytes"},
      {"no NUL after the control name", with(14, " "), "byte 14"},
      {"no NUL after the reply name", with(29, "x"), "byte 29"},
      {"no NUL after the request name", with(44, " "), "byte 44"},
      {"no NUL after the word count", with(51, " "), "byte 51"},
      {"no NUL at the end", with(131, " "), "byte 131"},
      {"NUL inside the reply name", with(17, std::string(1, '\0')), "NUL inside the reply name"},
      {"NUL inside the command line", with(60, std::string(1, '\0')), "NUL inside the command line"},
      {"empty control name", with(0, std::string(14, ' ')), "control name is empty"},
      {"blank reply name", with(15, std::string(14, ' ')), "reply name is empty"},
      {"reply name with a slash", with(15, "../etc/passwd "), "cannot name a file"},
      {"reply name with a slash inside", with(15, "a/b"), "cannot name a file"},
      {"reply name dot", with(15, ".      "), "cannot name a file"},
      {"reply name dot dot", with(15, "..     "), "cannot name a file"},
      {"reply name of fourteen characters", with(15, "abcdefghijklmn"), "cannot name a file"},
      {"reply name that looks like a request", with(15, "sprXYZXYZ"), "cannot name a file"},
      {"escape in the reply name", with(15, "r\x1b"), "0x1B"},
      {"blank inside the reply name", with(15, "re ply"), "0x20"},
      {"high byte in the request name", with(30, "pr\xffwatch"), "0xFF"},
      {"word count not a number", with(45, "x     "), "not a number"},
      {"word count with junk after", with(45, "2x    "), "not a number"},
      {"word count empty", with(45, "      "), "not a number"},
      {"word count zero", with(45, "0     "), "outside 1 to 15"},
      {"word count negative", with(45, "-1    "), "outside 1 to 15"},
      {"word count sixteen", with(45, "16    "), "outside 1 to 15"},
      {"line not starting with the request name", with(52, "prbay  "), "start with the request name"},
      {"request name glued to the first word", with(52, "prwatchx"), "start with the request name"},
      {"unquoted argument", with(52, "prwatch -l  "), "double quote"},
      {"arguments though the count is one", with(45, "1 "), "word count is 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_NE(ParseError(c.image).find(c.reason), std::string::npos)
        << "error was: " << ParseError(c.image);
  }
}

TEST(ControllerRequest, ReplyNameOfDamagedFilesWhenReadable) {
  const std::string good = ClientImage("sprAAAAAA", "reply01", "prwatch", {"-l"});
  EXPECT_EQ(ReadableReplyName(good), "reply01");
  EXPECT_EQ(ReadableReplyName(good.substr(0, 29)), "reply01");  // field complete
  EXPECT_EQ(ReadableReplyName(good.substr(0, 40)), "reply01");
  EXPECT_EQ(ReadableReplyName(good + "trailing junk"), "reply01");
  EXPECT_EQ(ReadableReplyName(good.substr(0, 28)), std::nullopt);  // still arriving
  EXPECT_EQ(ReadableReplyName(""), std::nullopt);
  std::string shifted = good;
  shifted.insert(0, "x");  // every field one byte late
  EXPECT_EQ(ReadableReplyName(shifted), std::nullopt);
  std::string slash = good;
  slash.replace(15, 5, "../x ");
  EXPECT_EQ(ReadableReplyName(slash), std::nullopt);
}

TEST(ControllerRequest, FileAndReplyNames) {
  EXPECT_TRUE(IsRequestFileName("sprAb12Z9"));
  for (const char* bad : {"sprAb12Z", "sprAb12Z90", "xprAb12Z9", "sprAb 2Z9", "sprAb\n2Z9"})
    EXPECT_FALSE(IsRequestFileName(bad)) << bad;
  // Reply names carry part of the client's host name.
  EXPECT_TRUE(IsUsableReplyName("1f2e3dhost.ex"));
  EXPECT_FALSE(IsUsableReplyName(".prcontroller"));
}

}  // namespace
}  // namespace prcontroller
