// Writer of the mark file: one camera pulse entry per mark event, an empty
// line and then the mark number and its GPS seconds of week.
#include "output/text_outputs.h"

#include "output/text_output.h"

int32_t WriteMarkEvent(std::FILE *stream, const char *path, const MarkRecord *mark) {
    if (stream == nullptr || mark == nullptr) {
        return 0;
    }
    TextBlock block;
    BeginTextBlock(&block);
    AppendText(&block, "\nCAMERA PULSE #");
    // Mark numbers count up from 1 for the library's lifetime; printed
    // unsigned so that they never turn negative.
    AppendUnsigned(&block, mark->markNumber);
    AppendText(&block, " AT: ");
    AppendFixed(&block, mark->time, 6);
    AppendText(&block, "\n");
    return WriteTextBlock(stream, path, &block);
}
