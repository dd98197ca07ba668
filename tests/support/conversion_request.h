// The records a host hands to ConvertFile, filled the way a host fills them,
// so that the conversion tests set up a request in one place.
#pragma once

#include <memory>
#include <string>

#include "oem4conv.h"

namespace testsupport {

// The converter's options as SetFactoryDefaults gives them.
Oem4Options FactoryOptions();

// Zeroes the options record and fills it as a host does: both sizes right,
// the converter's options copied in, the input and output paths.
void FillRequest(ConvertOptions *request, const std::string &input, const std::string &output,
                 const Oem4Options &converter = FactoryOptions());

// The same on the heap: the record is large for a test's stack.
std::unique_ptr<ConvertOptions> MakeRequest(const std::string &input = "", const std::string &output = "",
                                            const Oem4Options &converter = FactoryOptions());

// A host record of the build's size with the given callbacks.
ConvertHost MakeHost(Oem4MessageCallback onMessage = nullptr, Oem4ProgressCallback onProgress = nullptr);

} // namespace testsupport
