// Encoders of the OEM7 receivers' bit-packed range records, RANGECMP2,
// RANGECMP4 and RANGECMP5, from observations in RANGE units. Phase and Doppler are turned
// into metres with the wavelengths the converter reads them back with, so
// that a log written in any of the range records decodes to the same
// observations within each record's resolution.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace oem4sim {

// One observation in RANGE units, with the identity the packed records
// give it.
struct PackedObservation {
    uint32_t system; // status word system number: 0 GPS, 1 GLONASS, ...
    uint32_t signal; // status word signal type
    uint16_t prn;    // as RANGE logs it (GLONASS slot + 37)
    uint16_t glonassFrequency;
    double pseudorange; // m
    double adr;         // cycles, the receiver's sign
    float doppler;      // Hz
    float cno;          // dB-Hz
    float lockTime;     // s
    float pseudorangeSigma;
    float adrSigma;
    uint32_t channel;
};

// RANGECMP2 body (byte count and blocks) of observations listed satellite
// by satellite. Returns the body length, or 0 when it does not fit room or
// an observation has no RANGECMP2 form.
size_t EncodeRangecmp2Body(uint8_t *body, size_t room, const PackedObservation *obs, size_t count);

// RANGECMP4 bodies: reference blocks on the whole second, differential
// blocks in between for the satellites whose every signal has a reference
// of that second. Keeps the references it sent. With rangecmp5, RANGECMP5
// bodies: RANGECMP4's reference blocks in every epoch, with that record's
// wider standard deviation codes and range rates.
class Rangecmp4Encoder {
public:
    explicit Rangecmp4Encoder(bool rangecmp5 = false);
    ~Rangecmp4Encoder();
    // Returns the body length, or 0 when it does not fit room.
    size_t Encode(uint8_t *body, size_t room, const PackedObservation *obs, size_t count, uint32_t week,
                  int64_t milliseconds);

    struct State;

private:
    std::unique_ptr<State> state_;
};

} // namespace oem4sim
