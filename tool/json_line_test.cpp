#include "tool/json_line.h"

#include <gtest/gtest.h>

namespace {

struct QuoteCase {
  const char* name;
  std::string text;
  std::string json;
};

class JsonQuoteCases : public testing::TestWithParam<QuoteCase> {};

// Device strings come from the device: whatever they hold, the line must stay
// one valid JSON value.
TEST_P(JsonQuoteCases, GivesAValidJsonString) {
  EXPECT_EQ(JsonQuote(GetParam().text), GetParam().json);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JsonQuoteCases,
    testing::Values(
        QuoteCase{"Plain", "Internal Flash  ", "\"Internal Flash  \""},
        QuoteCase{"QuoteAndBackslash", "a\"b\\c", "\"a\\\"b\\\\c\""},
        QuoteCase{"ControlCharacters", std::string("a\nb\0c", 5), "\"a\\u000ab\\u0000c\""},
        QuoteCase{"Utf8Kept", "Gr\xC3\xBC\xC3\x9F", "\"Gr\xC3\xBC\xC3\x9F\""},
        QuoteCase{"BadLeadByte", "a\xFF", "\"a\xEF\xBF\xBD\""},
        QuoteCase{"CutSequence", "a\xE2\x82", "\"a\xEF\xBF\xBD\xEF\xBF\xBD\""},
        QuoteCase{"OverlongForm", "\xC0\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
        QuoteCase{"Surrogate", "\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(JsonObject, KeepsTheOrderOfItsFields) {
  EXPECT_EQ(CJsonObject()
                .Text("event", "result")
                .Number("exit", 7)
                .Bool("ok", false)
                .Raw("a", "[]")
                .Str(),
            "{\"event\":\"result\",\"exit\":7,\"ok\":false,\"a\":[]}");
}

}  // namespace
