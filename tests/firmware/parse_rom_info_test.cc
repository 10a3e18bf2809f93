// Decoding the cloud's answer. Every case runs against both decoders: the
// program's own (jsoncpp on Linux) and the nlohmann-json one of the Windows
// program, so that the two cannot drift apart.
#include <gtest/gtest.h>

#include <string>

#include "firmware/CloudQuery.h"
#include "firmware/NlohmannRomInfo.h"
#include "firmware/RomInfoSentinel.h"

namespace {

struct Decoder {
  const char* name;
  int (*parse)(const char*, RomInfo&);
};
const Decoder kDecoders[] = {{"program's decoder", ParseRomInfo}, {"nlohmann-json", ParseRomInfoNlohmann}};

const char kFullAnswer[] =
    R"({"model": "RX2001", "version": "1.2 beta", "md5": "0123456789abcdef0123456789abcdef",
        "url": "https://cdn.example/RX2001.bin", "level": 0, "size": 4096, "extra": [1, 2]})";

// An answer with `inner` nested `depth` arrays deep in an ignored member.
std::string Nested(int depth, const std::string& inner = "") {
  return R"({"url":"u","x":)" + std::string(depth, '[') + inner + std::string(depth, ']') + "}";
}

}  // namespace

TEST(ParseRomInfoTest, FullAnswerFillsEveryField) {
  for (const Decoder& d : kDecoders) {
    SCOPED_TRACE(d.name);
    RomInfo info = Sentinel();
    EXPECT_EQ(d.parse(kFullAnswer, info), 0);
    EXPECT_EQ(info.model, "RX2001");
    EXPECT_EQ(info.version, "1.2");
    EXPECT_EQ(info.md5, "0123456789abcdef0123456789abcdef");
    EXPECT_EQ(info.url, "https://cdn.example/RX2001.bin");
    EXPECT_EQ(info.level, 0);
    EXPECT_EQ(info.size, 4096);
    EXPECT_EQ(info.data, nullptr);
  }
}

TEST(ParseRomInfoTest, DecodesMembersByTheirRules) {
  struct Case {
    const char* name;
    std::string text;
    int code;
    const char* version;
    int level;
    int size;
  };
  const Case cases[] = {
      {"version cut at a tab", R"({"url":"u","version":"2.0\tx"})", 0, "2.0", 0, 0},
      {"version cut at a line feed", R"({"url":"u","version":"3.1\nrc"})", 0, "3.1", 0, 0},
      {"version cut at a leading carriage return", R"({"url":"u","version":"\r3.0"})", 0, "", 0, 0},
      {"missing level and size read as 0", R"({"url":"u","version":"1"})", 0, "1", 0, 0},
      {"null members read as empty and 0", R"({"url":"u","version":null,"level":null,"size":null})", 0,
       "", 0, 0},
      {"booleans read as text and 1/0", R"({"url":"u","version":true,"level":false,"size":true})", 0,
       "true", 0, 1},
      {"reals are truncated", R"({"url":"u","version":"1","level":0.7,"size":1234.9})", 0, "1", 0, 1234},
      {"negative reals are truncated toward zero", R"({"url":"u","level":-0.9,"size":-7.5})", 0, "", 0, -7},
      {"exponents and the 32-bit extremes", R"({"url":"u","size":-2147483648,"level":1e-400})", 0, "", 0,
       -2147483648},
      {"comments are allowed", "/* head */ {\"url\":\"u\", // note\n \"version\":\"5\"}", 0, "5", 0, 0},
      {"text after the object is not read", R"({"url":"u","version":"6"} <html>{"url":""})", 0, "6", 0, 0},
      {"a later duplicate member wins", R"({"url":"","version":"1","url":"u","version":"2"})", 0, "2", 0, 0},
      {"loose numbers read as jsoncpp reads them", R"({"url":"u","size":0042,"level":-,"x":[5.,-.5,1.e3]})",
       0, "", 0, 42},
      {"raw control characters in a string", "{\"url\":\"u\",\"version\":\"7\x01\",\"x\":\"\x1b\"}", 0,
       "7\x01", 0, 0},
      {"another encoding in an ignored member", "{\"url\":\"u\",\"version\":\"8\",\"desc\":\"\xb9\xcc\xbc\xfe\"}",
       0, "8", 0, 0},
      {"nesting up to the reader's limit", Nested(999), 0, "", 0, 0},
      {"level 1 is refused but read", R"({"url":"u","version":"9","level":1,"size":7})", 1, "9", 1, 7},
      {"negative level is refused", R"({"url":"u","version":"9","level":-1})", 1, "9", -1, 0},
      {"missing url is refused", R"({"version":"4.0","size":10})", 1, "4.0", 0, 10},
      {"empty url is refused", R"({"url":"","version":"4.0"})", 1, "4.0", 0, 0},
  };
  for (const Decoder& d : kDecoders) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(d.name) + ": " + c.name);
      RomInfo info = Sentinel();
      EXPECT_EQ(d.parse(c.text.c_str(), info), c.code);
      EXPECT_EQ(info.version, c.version);
      EXPECT_EQ(info.level, c.level);
      EXPECT_EQ(info.size, c.size);
    }
  }
}

// Bodies that cannot be a release: code 3 and the record as it was.
TEST(ParseRomInfoTest, UnusableAnswersLeaveTheRecordUntouched) {
  const std::pair<const char*, std::string> cases[] = {
      {"empty body", ""},
      {"only a comment", "/* nothing */"},
      {"html error page", "<html><body><h1>502 Bad Gateway</h1></body></html>"},
      {"cut short", R"({"model": "RX2001", "version": )"},
      {"top-level array", R"([{"url":"u"}])"},
      {"top-level string", R"("RX2001")"},
      {"top-level number", "42"},
      {"top-level null", "null"},
      {"number as model", R"({"url":"u","model":5})"},
      {"number as version", R"({"url":"u","version":1.2})"},
      {"object as md5", R"({"url":"u","md5":{}})"},
      {"array as url", R"({"url":["u"]})"},
      {"text as level", R"({"url":"u","level":"0"})"},
      {"text as size", R"({"url":"u","size":"100"})"},
      {"size above the 32-bit range", R"({"url":"u","size":3000000000})"},
      {"size below the 32-bit range", R"({"url":"u","size":-3000000000})"},
      {"size beyond 64 bits", R"({"url":"u","size":18446744073709551616})"},
      {"real just above the 32-bit range", R"({"url":"u","size":2147483647.5})"},
      {"real level out of range", R"({"url":"u","level":1e40})"},
      {"real beyond a double in an ignored member", R"({"url":"u","x":1e400})"},
      {"two numbers without a comma", R"({"url":"u","x":[1-2]})"},
      {"a number with two points", R"({"url":"u","size":1..5})"},
      {"an exponent without digits", R"({"url":"u","size":1e})"},
      {"a lone surrogate", R"({"url":"\ud800"})"},
      {"a trailing comma", R"({"url":"u",})"},
      {"an unterminated comment", R"({"url":"u" /* })"},
      {"nesting one past the reader's limit", Nested(1000)},
      {"a value one past the reader's limit", Nested(999, "1")},
      {"nesting far deeper than the reader allows",
       R"({"url":"u","model":)" + std::string(5000, '[') + std::string(5000, ']') + "}"},
  };
  for (const Decoder& d : kDecoders) {
    for (const auto& [name, text] : cases) {
      SCOPED_TRACE(std::string(d.name) + ": " + name);
      RomInfo info = Sentinel();
      EXPECT_EQ(d.parse(text.c_str(), info), 3);
      ExpectUntouched(info);
    }
  }
}

// The one place where the decoders differ: bytes that are not UTF-8 in a
// member that is read. jsoncpp keeps them; the Windows program, which hands
// text to the system as UTF-16, reads them as U+FFFD.
TEST(ParseRomInfoTest, NlohmannReadsBytesThatAreNotUtf8AsReplacementCharacters) {
  RomInfo info;
  EXPECT_EQ(ParseRomInfoNlohmann("{\"url\":\"u\",\"version\":\"1\xff\",\"model\":\"\xe5\x9b\"}", info), 0);
  EXPECT_EQ(info.version, "1\xEF\xBF\xBD");
  EXPECT_EQ(info.model, "\xEF\xBF\xBD\xEF\xBF\xBD");
}
