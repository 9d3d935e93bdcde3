#include <gtest/gtest.h>

#include <string>

#include "http/text.h"
#include "mem_stream.h"

using namespace tarnix;
using tarnix_test::u8;

namespace {

struct Case {
    const char* text;
    unsigned base, bits;
    NumberStatus status;
    uint64_t value;
};

NumberStatus parse(const std::string& s, unsigned base, unsigned bits, uint64_t* v) {
    return parse_number(u8(s), s.size(), base, bits, v);
}

}  // namespace

TEST(Number, Syntax) {
    const NumberStatus OK = NumberStatus::Ok, BAD = NumberStatus::Invalid, OVER = NumberStatus::Overflow;
    const Case cases[] = {
        {"0", 10, 64, OK, 0},
        {"+5", 10, 64, OK, 5},
        {"1_0", 10, 64, OK, 10},
        {"1__0", 10, 64, OK, 10},
        {"-0", 10, 64, OK, 0},
        {"-0_0", 10, 64, OK, 0},
        {"-5", 10, 64, OVER, 0},
        {"-05", 10, 64, OVER, 0},
        {"", 10, 64, BAD, 0},
        {"+", 10, 64, BAD, 0},
        {"-", 10, 64, BAD, 0},
        {"+_5", 10, 64, BAD, 0},
        {"_5", 10, 64, BAD, 0},
        {"5_", 10, 64, BAD, 0},
        {"0x10", 10, 64, BAD, 0},
        {"++5", 10, 64, BAD, 0},
        {" 5", 10, 64, BAD, 0},
        {"5 ", 10, 64, BAD, 0},
        {"1a", 10, 64, BAD, 0},
        {"18446744073709551615", 10, 64, OK, UINT64_MAX},
        {"18446744073709551616", 10, 64, OVER, 0},
        {"99999999999999999999", 10, 64, OVER, 0},
        {"1A", 16, 64, OK, 26},
        {"ffffffffffffffff", 16, 64, OK, UINT64_MAX},
        {"1_0000_0000_0000_0000", 16, 64, OVER, 0},
        {"g", 16, 64, BAD, 0},
        {"+200", 10, 16, OK, 200},
        {"2_00", 10, 16, OK, 200},
        {"65535", 10, 16, OK, 65535},
        {"65536", 10, 16, OVER, 0},
    };
    for (const Case& c : cases) {
        uint64_t v = 12345;
        NumberStatus st = parse(c.text, c.base, c.bits, &v);
        EXPECT_EQ(int(st), int(c.status)) << '"' << c.text << "\" base " << c.base << " bits " << c.bits;
        if (st == NumberStatus::Ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
}

TEST(Text, CaseFoldingIsAsciiOnly) {
    std::string a = "Content-LENGTH";
    EXPECT_TRUE(ascii_ieq(u8(a), a.size(), "content-length", 14));
    EXPECT_FALSE(ascii_ieq(u8(a), a.size() - 1, "content-length", 14));
    std::string latin = "\xC9";  // no folding outside A-Z
    EXPECT_FALSE(ascii_ieq(u8(latin), 1, "\xE9", 1));

    std::string v = "Keep-Alive, CLOSED";
    EXPECT_TRUE(ascii_icontains(u8(v), v.size(), "close", 5));
    EXPECT_TRUE(ascii_icontains(u8(v), v.size(), "keep-alive", 10));
    EXPECT_FALSE(ascii_icontains(u8(v), v.size(), "upgrade", 7));
    std::string cc = "cclose";  // a false start must not hide a match
    EXPECT_TRUE(ascii_icontains(u8(cc), cc.size(), "close", 5));

    std::string t = " \t a b\t ";
    const uint8_t* p = u8(t);
    size_t n = t.size();
    trim_wire_space(&p, &n);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(p), n), "a b");
}
