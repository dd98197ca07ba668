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
    // Mark numbers count up for the library's lifetime; printed unsigned so
    // that they never turn negative.
    AppendFormat(&block, "\nCAMERA PULSE #%u AT: %.6lf\n", unsigned{mark->markNumber}, mark->time);
    return WriteTextBlock(stream, path, &block);
}
