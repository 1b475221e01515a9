// The public JSONTestSuite parsing files: what must parse, what must not.
#include <filesystem>
#include <set>

#include "json_test_util.h"
#include "test_env.h"

namespace tarn::test {

// Files a strict parser rejects but this one accepts on purpose.
// clang-format off
const std::set<std::string> accepted_leniently = {
    // A lone minus sign is the Int 0.
    "n_array_just_minus.json",
    // Leading zeros are read as strtoll reads them.
    "n_number_-01.json", "n_number_neg_int_starting_with_zero.json", "n_number_with_leading_zero.json",
    // A point without fraction digits, or a fraction without integer digits, is read as strtod reads it.
    "n_number_-2..json", "n_number_0.e1.json", "n_number_2.e+3.json", "n_number_2.e-3.json", "n_number_2.e3.json",
    "n_number_9.e+.json", "n_number_real_without_fractional_part.json", "n_number_neg_real_without_int_part.json",
    // An exponent without digits is read as strtod reads it (exponent 0).
    "n_number_0.3e+.json", "n_number_0.3e.json", "n_number_0_capital_E+.json", "n_number_0_capital_E.json",
    "n_number_0e+.json", "n_number_0e.json", "n_number_1.0e+.json", "n_number_1.0e-.json", "n_number_1.0e.json",
    // Raw control bytes are string content.
    "n_string_unescaped_ctrl_char.json", "n_string_unescaped_newline.json", "n_string_unescaped_tab.json",
};
// clang-format on

// y_ files parse, n_ files fail with a message unless listed above, i_ files
// may go either way; nothing crashes, and every accepted file writes stably.
TEST(JsonTestSuite, EveryFileIsJudgedAsListedAndAcceptedOnesWriteStably) {
    const auto dir = std::filesystem::path(source_path("tests/json/data/JSONTestSuite/test_parsing"));
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        const std::string text = text_of(entry.path().string());
        ++files;
        JsonValue value;
        const std::string error = parse_error(text, &value);
        const bool must_parse = name[0] == 'y' || accepted_leniently.count(name) != 0;
        EXPECT_TRUE(name[0] == 'i' || (error == "(parsed)") == must_parse) << name << ": " << error;
        EXPECT_NE(error, "parse error") << name;
        if (error != "(parsed)") continue;
        const std::string once = to_json(value);
        EXPECT_EQ(to_json(parse_ok(once)), once) << name;
    }
    EXPECT_EQ(files, 318u) << "JSONTestSuite not found under " << dir;
}

}  // namespace tarn::test
