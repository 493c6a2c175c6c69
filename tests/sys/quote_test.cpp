#include "sys/quote.h"

#include <gtest/gtest.h>

#include <string>

#include "sys/runner.h"

namespace {

struct QuoteCase {
    const char* word;
    const char* quoted;
};

TEST(ShellQuoteTest, PlainWordsStayAndOthersAreSingleQuoted) {
    const QuoteCase cases[] = {
        {"192.168.1.10", "192.168.1.10"},
        {"/tmp/Program.bin", "/tmp/Program.bin"},
        {"admin", "admin"},
        {"a-b_c.d/e:f@g%h+i=j,k", "a-b_c.d/e:f@g%h+i=j,k"},
        {"http://host:8080/fw/Program.bin", "http://host:8080/fw/Program.bin"},
        {"", "''"},
        {"two words", "'two words'"},
        {"x;reboot", "'x;reboot'"},
        {"$(reboot)", "'$(reboot)'"},
        {"`id`", "'`id`'"},
        {"a|b&c>d<e", "'a|b&c>d<e'"},
        {"it's", "'it'\\''s'"},
        {"''", "''\\'''\\'''"},
        {"*", "'*'"},
        {"~root", "'~root'"},
        {"new\nline", "'new\nline'"},
        {"http://h/p?a=1&b=2", "'http://h/p?a=1&b=2'"},
        {"'\"\\", "''\\''\"\\'"},
        {"tab\there", "'tab\there'"},
        {"-n", "-n"},
    };
    // The shell itself is the judge: a quoted word comes back as one word, intact.
    for (const QuoteCase& c : cases) {
        EXPECT_EQ(sys::ShellQuote(c.word), c.quoted) << "word: " << c.word;
        EXPECT_EQ(sys::IsPlainWord(c.word), std::string(c.word) == c.quoted) << c.word;
        const std::string cmd = std::string("printf '%s|' ") + c.quoted;
        std::string out;
        ASSERT_EQ(sys::RealRunner().ReadCommand(cmd.c_str(), out, 1024), 0);
        EXPECT_EQ(out, std::string(c.word) + "|") << cmd;
    }
}

}  // namespace
