// Placeholder until the output writers land.
#include "output/text_outputs.h"
#include "output/tsq_file.h"

TsqFile *OpenTsqFile(const char *, uint8_t, float, uint16_t, uint8_t) { return nullptr; }
int32_t WriteTsqEpoch(TsqFile *, EpochRecord *, MeasRecord *) { return 1; }
int32_t CloseTsqFile(TsqFile *) { return 0; }
int32_t WriteEppEphemeris(std::FILE *, const char *, const GpsEphRecord *) { return 0; }
int32_t WriteEppAlmanac(std::FILE *, const char *, const AlmanacRecord *) { return 0; }
int32_t WriteMarkEvent(std::FILE *, const char *, const MarkRecord *) { return 0; }
int32_t CloseTextOutput(std::FILE *stream, const char *) {
    return stream != nullptr && std::fclose(stream) != 0 ? 1 : 0;
}
