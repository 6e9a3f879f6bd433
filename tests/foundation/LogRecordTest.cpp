#include "foundation/LogRecord.h"
#include "foundation/Log.h"
#include "foundation/SocketAddress.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <string>

namespace {

using VEMRA::LogRecord;

std::tm fixedTime(int month, int day, int hour, int minute, int second) {
    std::tm time{};
    time.tm_year = 124;
    time.tm_mon = month;
    time.tm_mday = day;
    time.tm_hour = hour;
    time.tm_min = minute;
    time.tm_sec = second;
    return time;
}

std::string lineOf(const LogRecord& record, size_t start) {
    return std::string(record.text + start, record.length - start);
}

// Fills the record with 'x' up to `length` characters.
void fillTo(LogRecord& record, size_t length) {
    record.append(std::string(length - record.length - 1, 'x'));
    record.append(std::string_view("x"));
    ASSERT_EQ(record.length, length);
}

TEST(LogRecordTest, FreshRecordHoldsTheTemplate) {
    LogRecord record(134);
    EXPECT_EQ(record.priority, 134);
    EXPECT_EQ(record.length, 31U);
    EXPECT_STREQ(record.text, "<000>MMM DD hh mm ss localhost ");
}

TEST(LogRecordTest, HeaderAlignsThePriorityAgainstItsClosingBracket) {
    const std::tm december = fixedTime(11, 6, 21, 9, 39);

    LogRecord info(16 * 8 + 6);
    info.append("Detect Dev: ");
    size_t start = info.stampHeader(december);
    EXPECT_EQ(start, 0U);
    EXPECT_EQ(lineOf(info, start), "<134>Dec 06 21:09:39 localhost Detect Dev: ");

    LogRecord twoDigits(1 * 8 + 3);
    twoDigits.append("x");
    start = twoDigits.stampHeader(december);
    EXPECT_EQ(start, 1U);
    EXPECT_EQ(lineOf(twoDigits, start), "<11>Dec 06 21:09:39 localhost x");
    EXPECT_EQ(twoDigits.length - start, 31U);

    LogRecord oneDigit(6);
    start = oneDigit.stampHeader(december);
    EXPECT_EQ(start, 2U);
    EXPECT_EQ(lineOf(oneDigit, start), "<6>Dec 06 21:09:39 localhost ");
    EXPECT_EQ(oneDigit.length - start, 29U);

    LogRecord ten(10);
    EXPECT_EQ(lineOf(ten, ten.stampHeader(december)), "<10>Dec 06 21:09:39 localhost ");
    LogRecord highest(255);
    EXPECT_EQ(lineOf(highest, highest.stampHeader(december)), "<255>Dec 06 21:09:39 localhost ");
    LogRecord hundred(100);
    EXPECT_EQ(lineOf(hundred, hundred.stampHeader(december)), "<100>Dec 06 21:09:39 localhost ");
}

TEST(LogRecordTest, HeaderDateFieldsHaveLeadingZeros) {
    LogRecord record(134);
    EXPECT_EQ(lineOf(record, record.stampHeader(fixedTime(0, 1, 3, 4, 5))),
              "<134>Jan 01 03:04:05 localhost ");
    EXPECT_EQ(lineOf(record, record.stampHeader(fixedTime(4, 31, 0, 0, 0))),
              "<134>May 31 00:00:00 localhost ");
    EXPECT_EQ(lineOf(record, record.stampHeader(fixedTime(8, 10, 23, 59, 60))),
              "<134>Sep 10 23:59:60 localhost ");
}

TEST(LogRecordTest, NumbersAreFormattedAndCutAtTheEnd) {
    LogRecord record(134);
    record.append(-5);
    record.append(' ');
    record.append(4000000000U);
    record.append(" ");
    record.append(-9223372036854775807LL - 1);
    record.append(" ");
    record.append(18446744073709551615ULL);
    record.append(" ");
    record.append(1.5);
    record.append(" ");
    record.append(0.25F);
    record.append(" ");
    record.append(static_cast<size_t>(7));
    EXPECT_STREQ(record.text + 31,
                 "-5 4000000000 -9223372036854775808 18446744073709551615 1.500000 0.250000 7");
    EXPECT_EQ(record.length, std::strlen(record.text));

    LogRecord full(134);
    fillTo(full, 2044);
    full.append(123456);
    EXPECT_EQ(full.length, 2047U);
    EXPECT_STREQ(full.text + 2044, "123");
    full.append(9);
    EXPECT_EQ(full.length, 2047U);
    EXPECT_EQ(std::strlen(full.text), 2047U);
}

TEST(LogRecordTest, LongCStringFillsTheRecordTo2047) {
    const std::string longText(3000, 'c');
    LogRecord record(134);
    record.append(longText.c_str());
    EXPECT_EQ(record.length, 2047U);
    EXPECT_EQ(std::strlen(record.text), 2047U);
    EXPECT_EQ(record.text[2046], 'c');

    LogRecord nothing(134);
    nothing.append(static_cast<const char*>(nullptr));
    EXPECT_EQ(nothing.length, 31U);
    EXPECT_STREQ(nothing.text, LogRecord::kTemplate);
}

TEST(LogRecordTest, StringObjectsGoInWholeOrNotAtAll) {
    LogRecord record(134);
    record.append(std::string(2100, 's'));
    EXPECT_EQ(record.length, 31U);
    EXPECT_STREQ(record.text, LogRecord::kTemplate);

    // length + size + 1 must stay within 2047.
    record.append(std::string(2016, 's'));
    EXPECT_EQ(record.length, 31U);
    record.append(std::string(2015, 's'));
    EXPECT_EQ(record.length, 2046U);
    EXPECT_EQ(std::strlen(record.text), 2046U);
    record.append(std::string_view("s"));
    EXPECT_EQ(record.length, 2046U);

    LogRecord bytes(134);
    const char raw[] = {'a', 'b', 'c'};
    bytes.appendBytes(raw, sizeof(raw));
    EXPECT_STREQ(bytes.text + 31, "abc");
    const std::string tooLong(2013, 'b');
    bytes.appendBytes(tooLong.data(), tooLong.size());
    EXPECT_EQ(bytes.length, 34U);
    bytes.appendBytes(tooLong.data(), tooLong.size() - 1);
    EXPECT_EQ(bytes.length, 2046U);
}

TEST(LogRecordTest, HexIsSixteenUpperCaseDigitsOrNothing) {
    LogRecord record(134);
    record.appendHex(0x0123456789ABCDEFULL);
    record.append(" ");
    record.appendHex(0);
    record.append(" ");
    record.appendHex(0xfedcba9876543210ULL);
    EXPECT_STREQ(record.text + 31, "0123456789ABCDEF 0000000000000000 FEDCBA9876543210");

    LogRecord fits(134);
    fillTo(fits, 2030);
    fits.appendHex(0xA);
    EXPECT_EQ(fits.length, 2046U);
    EXPECT_STREQ(fits.text + 2030, "000000000000000A");

    LogRecord tooFull(134);
    fillTo(tooFull, 2031);
    tooFull.appendHex(0xA);
    EXPECT_EQ(tooFull.length, 2031U);
    EXPECT_EQ(std::strlen(tooFull.text), 2031U);
}

TEST(LogRecordTest, AddressesAppendInScopeAndPortForm) {
    VEMRA::SocketAddress address;
    address.address[0] = 0xfe;
    address.address[1] = 0x80;
    address.address[15] = 1;
    address.scope = 2;
    address.setHostPort(19641);
    LogRecord record(134);
    record.append(address);
    EXPECT_STREQ(record.text + 31, "fe80::1%2,19641");
}

TEST(LogRecordTest, LogLineFiltersByLevelAndStreamsPieces) {
    // No process logger in this program: lines are built and committing them
    // does nothing.
    VEMRA::setLogThreshold(6);
    EXPECT_TRUE(VEMRA::logEnabled(VEMRA::kLogInfo));
    EXPECT_TRUE(VEMRA::logEnabled(VEMRA::kLogError));
    EXPECT_FALSE(VEMRA::logEnabled(VEMRA::kLogDebug));
    EXPECT_EQ(VEMRA::newRecord(VEMRA::kLogDebug), nullptr);

    {
        auto line = VEMRA::logLine(VEMRA::kLogDebug, "hidden ");
        EXPECT_EQ(line.get(), nullptr);
        line << 5 << std::string("x");
        line.hex(1);
    }
    {
        const std::string path = "/dev/snd/pcmC0D0p";
        auto line = VEMRA::logLine(VEMRA::kLogInfo, "Detect Dev: ");
        line << path << " card " << 1 << std::string_view(" ok ");
        line.hex(0xBEEF);
        ASSERT_NE(line.get(), nullptr);
        EXPECT_STREQ(line.get()->text + 31, "Detect Dev: /dev/snd/pcmC0D0p card 1 ok 000000000000BEEF");
        // Without a logger the facility is 0.
        EXPECT_EQ(line.get()->priority, 6);
    }

    VEMRA::setLogThreshold(7);
    EXPECT_NE(VEMRA::newRecord(VEMRA::kLogDebug), nullptr);
    VEMRA::setLogThreshold(2);
    EXPECT_EQ(VEMRA::newRecord(VEMRA::kLogError), nullptr);
    VEMRA::setLogThreshold(6);
}

} // namespace
