// Where a run's output goes: the response of a web request, the output file of a background task,
// or a test's buffer. A nested run writes into its caller's sink, so a called function's output
// lands in the same page.
#pragma once

#include <string_view>

class CSspOutputSink {
public:
    virtual ~CSspOutputSink() = default;
    // Template text and the values of output blocks and write statements, in order.
    virtual void Write(std::string_view text) = 0;
    // The top-level run has ended; nothing more is written.
    virtual void CloseOutput() {}
};
