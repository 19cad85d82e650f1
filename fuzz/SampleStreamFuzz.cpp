// SPDX-License-Identifier: GPL-3.0-or-later
// The parent's reader of the capture helper's stream, with any bytes, fed in pieces of any size.
#include "capture/SampleStream.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    // The first byte sets the size of the pieces, as the pipe would deliver them.
    const std::size_t piece = std::size_t{data[0]} * 7 + 1;
    flowsentry::CSampleStreamReader reader;
    flowsentry::StreamRecord record;
    std::uint64_t bytes = 0;
    for (std::size_t at = 1; at < size; at += piece) {
        reader.Feed({data + at, std::min(piece, size - at)});
        flowsentry::CSampleStreamReader::Status status;
        while ((status = reader.Next(record)) == flowsentry::CSampleStreamReader::Status::Record) {
            if (record.m_type == flowsentry::StreamRecordType::Samples) {
                if (record.m_samples.size() != record.m_nSampleCount * flowsentry::kWireSampleBytes) {
                    __builtin_trap();
                }
                flowsentry::PacketSample sample;
                for (std::uint32_t i = 0; i < record.m_nSampleCount; ++i) {
                    flowsentry::DecodeWireSample(record.m_samples.data() + i * flowsentry::kWireSampleBytes,
                                                 sample);
                    bytes += sample.m_nBytes;
                }
            } else if (record.m_type == flowsentry::StreamRecordType::Samples6) {
                if (record.m_samples.size() != record.m_nSampleCount * flowsentry::kWireSample6Bytes) {
                    __builtin_trap();
                }
                flowsentry::SampleBuffer samples;
                for (std::uint32_t i = 0; i < record.m_nSampleCount; ++i) {
                    flowsentry::AppendWireSample6(record.m_samples.data() + i * flowsentry::kWireSample6Bytes,
                                                  samples);
                }
                if (samples.m_v6.size() != record.m_nSampleCount ||
                    samples.m_samples.back().m_family != flowsentry::IpFamily::Ipv6) {
                    __builtin_trap();
                }
            } else if (record.m_type == flowsentry::StreamRecordType::Link &&
                       record.m_linkState != flowsentry::LinkState::Up &&
                       record.m_linkState != flowsentry::LinkState::Down &&
                       record.m_linkState != flowsentry::LinkState::NoCarrier) {
                __builtin_trap(); // only the states the window and the CLI can name get through
            }
        }
        if (status == flowsentry::CSampleStreamReader::Status::Broken) {
            if (reader.ErrorText().empty()) {
                __builtin_trap();
            }
            break;
        }
    }
    return bytes == UINT64_MAX ? 1 : 0;
}
