// The status line: its numbers, and that it stays off a stream that is not
// a terminal.
#include <gtest/gtest.h>
#include <stdio.h>

#include <string>

#include "tools/ftpcli/ProgressDisplay.h"

namespace {

std::string Contents(FILE* file) {
    std::string text;
    rewind(file);
    for (int c = fgetc(file); c != EOF; c = fgetc(file)) text += (char)c;
    return text;
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace

TEST(ProgressDisplay, TransferLineShowsRateAndTimeLeft) {
    std::string line = ProgressDisplay::TransferLine("big.bin", 30, 10000000, 2.0);
    EXPECT_TRUE(Has(line, "big.bin [" + std::string(9, '#') + std::string(21, '.') + "]  30%"))
        << line;
    EXPECT_TRUE(Has(line, "1.5 MB/s")) << line;   // 3 MB in 2 s
    EXPECT_TRUE(Has(line, "0:05 left")) << line;  // 70 % at 15 % a second
}

TEST(ProgressDisplay, TransferLineWithoutSizeOrProgress) {
    std::string unknownSize = ProgressDisplay::TransferLine("f", 50, -1, 10.0);
    EXPECT_FALSE(Has(unknownSize, "B/s")) << unknownSize;
    EXPECT_TRUE(Has(unknownSize, "0:10 left")) << unknownSize;
    std::string nothingYet = ProgressDisplay::TransferLine("f", 0, 1000, 3.0);
    EXPECT_FALSE(Has(nothingYet, "left") || Has(nothingYet, "B/s")) << nothingYet;
    std::string done = ProgressDisplay::TransferLine("f", 100, 1000, 4.0);
    EXPECT_TRUE(Has(done, "100%") && Has(done, "  0:04") && !Has(done, "left")) << done;
    EXPECT_TRUE(Has(ProgressDisplay::TransferLine("f", 250, 1000, 1.0), "100%"));
}

TEST(ProgressDisplay, RateAndDurationUnits) {
    EXPECT_EQ("12 B/s", ProgressDisplay::Rate(12.4));
    EXPECT_EQ("820 kB/s", ProgressDisplay::Rate(820000));
    EXPECT_EQ("1.5 MB/s", ProgressDisplay::Rate(1500000));
    EXPECT_EQ("0:59", ProgressDisplay::Duration(59.4));
    EXPECT_EQ("1:00:01", ProgressDisplay::Duration(3601));
}

TEST(ProgressDisplay, DisabledWritesNothing) {
    FILE* out = tmpfile();
    ASSERT_NE(nullptr, out);
    {
        ProgressDisplay display(out, false, "f", 100);
        display.ShowTransfer(50);
        display.ShowBuffering(10);
        display.Finish();
    }
    EXPECT_EQ("", Contents(out));
    fclose(out);
}

TEST(ProgressDisplay, RedrawsInPlaceAndClearsWhatWasLonger) {
    FILE* out = tmpfile();
    ASSERT_NE(nullptr, out);
    ProgressDisplay display(out, true, "stream", -1);
    display.ShowBuffering(40);
    display.ShowBuffering(40);  // unchanged: not drawn again
    display.ShowTransfer(0);    // shorter: padded over the old text
    std::string longer = ProgressDisplay::BufferingLine("stream", 40);
    std::string shorter = ProgressDisplay::TransferLine("stream", 0, -1, 0);
    ASSERT_LT(shorter.size(), longer.size());
    display.Clear();
    display.Finish();  // nothing drawn since the clear: no line end
    EXPECT_EQ("\r" + longer + "\r" + shorter + std::string(longer.size() - shorter.size(), ' ') +
                  "\r" + std::string(shorter.size(), ' ') + "\r",
              Contents(out));
    fclose(out);
}
