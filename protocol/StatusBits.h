#pragma once

#include <cstdint>

namespace QUORVEL {

// The bits of a message's status word, for the sink and the Host alike.
namespace StatusBit {
// Answers of the control channel.
constexpr uint16_t kAccepted = 0x0001;  // the request was taken
constexpr uint16_t kConnected = 0x0002; // the sink has a Host (also in PORT_REGIST)
// Sink options, fixed when the sink opens.
constexpr uint16_t kOptionNoSecond = 0x0080; // option 1 without option 2
constexpr uint16_t kOption1 = 0x0100;
// STREAM_FEEDBACK.
constexpr uint16_t kGapReport = 0x0008;   // params: expected sequence, received sequence
constexpr uint16_t kLevelReport = 0x0020; // params: rate, fill, target (with kAccepted)
// STREAM_DATA.
constexpr uint16_t kFlushMark = 0x0020; // the sink measures its queue and reports its level
constexpr uint16_t kWakeOutput = 0x0040;
} // namespace StatusBit

// The trailer byte of an MS datagram: the low 7 bits of the sequence number
// and the flush mark.
namespace MsTrailer {
constexpr uint8_t kFlushMark = 0x80;
constexpr uint8_t kSequenceBits = 0x7F;
} // namespace MsTrailer

} // namespace QUORVEL
