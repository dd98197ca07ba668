// The record decoders named by the record table. Each has the form
// int32_t (port, ThreadBuf*) and returns a RecordKind or 0.
#pragma once

#include <cstdint>

#include "threadbuf/threadbuf.h"

int32_t DecodeBestpos(int32_t port, ThreadBuf *buf);
int32_t DecodeClockModel(int32_t port, ThreadBuf *buf);
int32_t DecodeMarktime(int32_t port, ThreadBuf *buf);
// MARK2TIME, MARK3TIME, MARK4TIME and every input's MARKxPOS: counted
// per mark input in the framing statistics, no record.
int32_t CountMarkRecord(int32_t port, ThreadBuf *buf);
int32_t DecodeAlmanac(int32_t port, ThreadBuf *buf);
int32_t DecodeRange(int32_t port, ThreadBuf *buf);
// RANGECMP2, RANGECMP4 and RANGECMP5, the bit-packed range records of OEM7
// receivers.
int32_t DecodeRangecmp2(int32_t port, ThreadBuf *buf);
int32_t DecodeRangecmp4(int32_t port, ThreadBuf *buf);
int32_t DecodeRangecmp5(int32_t port, ThreadBuf *buf);
int32_t DecodeRawephem(int32_t port, ThreadBuf *buf);
int32_t DecodeGpsephem(int32_t port, ThreadBuf *buf);
int32_t DecodeBestxyz(int32_t port, ThreadBuf *buf);
// std::round(value * stepsPerUnit) / stepsPerUnit to the last bit, without
// the library call: the grid BESTXYZ positions are rounded to.
double OnPositionGrid(double value, double stepsPerUnit);
// VERSION and IONUTC only keep their content in the port for the file
// headers; they produce no record.
int32_t DecodeVersion(int32_t port, ThreadBuf *buf);
int32_t DecodeIonutc(int32_t port, ThreadBuf *buf);
// The ephemerides of GLONASS, Galileo, BeiDou and QZSS: RK_BROADCAST with
// the port's broadcast ephemerides filled.
int32_t DecodeGloephemeris(int32_t port, ThreadBuf *buf);
int32_t DecodeGalephemeris(int32_t port, ThreadBuf *buf);
int32_t DecodeGalinavephemeris(int32_t port, ThreadBuf *buf);
int32_t DecodeGalfnavephemeris(int32_t port, ThreadBuf *buf);
int32_t DecodeBdsephemeris(int32_t port, ThreadBuf *buf);
int32_t DecodeQzssephemeris(int32_t port, ThreadBuf *buf);
// Their ionosphere and time parameters, kept in the port like IONUTC's.
int32_t DecodeGaliono(int32_t port, ThreadBuf *buf);
int32_t DecodeGalclock(int32_t port, ThreadBuf *buf);
int32_t DecodeBdsiono(int32_t port, ThreadBuf *buf);
int32_t DecodeBdsclock(int32_t port, ThreadBuf *buf);
int32_t DecodeQzssionutc(int32_t port, ThreadBuf *buf);
