// The scanner against the formatted-input model on generated inputs: both
// must record the same command and environment names in the same order, at
// every buffer size.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "scan/scan.h"
#include "test_support.h"

namespace {

// Pieces that inputs are built from: dense in what the scanner reacts to.
const char *const kPieces[] = {
    "\\",       "\\",
    "\\",       "{",
    "{",        "}",
    "a",        "Z",
    "@",        "xy",
    "begin",    "newenvironment",
    "\\begin{", "\\newenvironment{",
    "0",        "9",
    "*",        " ",
    "\n",       "\r",
    "%",        "[",
    "]",
};

std::string generate_input(std::mt19937 &random)
{
    std::string input;
    size_t pieces = random() % 80;
    for (size_t i = 0; i < pieces; ++i) {
        unsigned choice = random() % 100;
        if (choice < 80) {
            input += kPieces[random() % (sizeof kPieces / sizeof kPieces[0])];
        } else if (choice < 88) {
            input += static_cast<char>(0x80 + random() % 0x80); // bytes over 0x7F
        } else if (choice < 92) {
            input += '\0';
        } else if (choice < 99) {
            input += static_cast<char>(random() % 256);
        } else {
            // A run of letters near one of the two name limits.
            size_t near = (random() % 2 == 0) ? 127 : 1023;
            input += std::string(near - 3 + random() % 7, 'q');
        }
    }
    return input;
}

TEST(ScannerDifferential, MatchesTheFormattedInputModel)
{
    std::mt19937 random(20261207);
    const size_t sizes[] = {1, 2, 3, 7, 64, 100, kDefaultBufferSize};
    for (int round = 0; round < 4000; ++round) {
        std::string input = generate_input(random);
        NameSequences expected = model_bytes(input);
        for (size_t size : sizes) {
            NameSequences actual = scan_bytes(input, size);
            ASSERT_EQ(actual.commands, expected.commands)
                << "round " << round << ", buffer size " << size;
            ASSERT_EQ(actual.environments, expected.environments)
                << "round " << round << ", buffer size " << size;
        }
    }
}

TEST(ScannerDifferential, EveryByteInEveryPlaceOfALongName)
{
    // Names are classified many bytes at a time: every byte value, anywhere.
    for (int value = 0; value < 256; ++value)
        for (size_t place = 0; place < 40; ++place) {
            std::string input = "\\" + std::string(place, 'a') + static_cast<char>(value) +
                                std::string(40, 'Z') + "\\z";
            ASSERT_EQ(scan_bytes(input, kDefaultBufferSize).commands, model_bytes(input).commands)
                << value << " at " << place;
        }
}

TEST(ScannerDifferential, BackslashRunsOfEveryLengthInEveryPlace)
{
    // In a run of backslashes every second one escapes the byte after it,
    // which names found a block at a time must follow wherever a run lies.
    for (size_t run = 1; run <= 4; ++run)
        for (size_t place = 0; place < 70; ++place)
            for (const char *after : {"ab\\c d", "1b c", "@"}) {
                std::string input = std::string(place, ' ') + std::string(run, '\\') + after;
                input += std::string(150 - input.size(), ' ');
                for (size_t size : {size_t{100}, size_t{kDefaultBufferSize}})
                    ASSERT_EQ(scan_bytes(input, size).commands, model_bytes(input).commands)
                        << run << " at " << place << " then " << after << ", size " << size;
            }
}

} // namespace
