// text_mode.h: Windows text-mode line ends as two stream adapters over raw bytes.
//
// On Windows the standard streams are text streams: a CR LF pair arrives as one line feed,
// a Ctrl-Z byte (0x1A) ends the input, and every line feed goes out as CR LF.
// platform_windows.cpp reads and writes the raw handles and puts these adapters between
// them and the line loop, so the loop sees the same bytes on every platform and keeps its
// large in-place reads. The adapters are plain C++ over InputSource and OutputSink, so the
// native test suite checks them against a whole-input reference on random read sizes
// (tests/text_mode_test.cpp); the Windows suite under Wine checks them end to end.
#pragma once

#include <cstddef>
#include <memory>

#include "filter/stream.h"

// CTRL_Z is the byte that ends text-mode input.
constexpr char CTRL_Z = 0x1A;

// TextModeInput reads raw bytes from another InputSource and hands them on as a text-mode
// stream gives them: each CR LF pair becomes one line feed, also when a read ends between
// the CR and the LF; any other CR is an ordinary byte, also the last byte of the input;
// the first 0x1A ends the input and nothing after it is read.
class TextModeInput : public InputSource {
public:
    explicit TextModeInput(InputSource& raw) : raw_(raw) {}
    long read(char* buffer, size_t size) override;
    // ready: a read returns at once when a byte is held for it or the input has ended;
    // else when the raw input is ready (a held CR alone cannot be handed on).
    bool ready() override;

private:
    long read_block(char* buffer, size_t size);
    size_t translate(char* data, size_t size);

    InputSource& raw_;
    bool held_cr_ = false;  // the last raw byte was a CR whose successor is not read yet
    bool ended_ = false;    // the raw input ended or a 0x1A was met: no more raw reads
    int held_byte_ = -1;    // a translated byte a one-byte read could not take, or -1
};

// TEXT_MODE_STAGING_SIZE is the size of TextModeOutput's area for translated bytes: twice
// the line loop's output buffer, so that one flush of it usually is one raw write.
constexpr size_t TEXT_MODE_STAGING_SIZE = 128 * 1024;

// TextModeOutput writes to another OutputSink with every line feed turned into CR LF. It
// keeps no state between writes, so a line feed is translated wherever writes split the
// text.
class TextModeOutput : public OutputSink {
public:
    explicit TextModeOutput(OutputSink& raw) : raw_(raw), staging_(new char[TEXT_MODE_STAGING_SIZE]) {}
    bool write_all(const char* data, size_t size) override;

private:
    OutputSink& raw_;
    std::unique_ptr<char[]> staging_;
};
