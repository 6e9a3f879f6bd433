#pragma once

#include <cstdint>

namespace QUORVEL {

// Command codes: even codes are requests, odd codes answers (request + 1
// unless noted). Codes from 0x8000 pass only over ::1 inside the process.
enum MessageCode : uint16_t {
    DISCOVER = 0x0000,
    DISCOVER_ANS = 0x0001,
    PORT_REQ = 0x0002,
    PORT_ANS = 0x0003, // also the answer to SYNCNAME_SET
    FORMAT_QUERY = 0x0004,
    FORMAT_QUERY_ANS = 0x0005,
    LATENCY_QUERY = 0x0006,
    LATENCY_QUERY_ANS = 0x0007,
    CONNECT = 0x0008,
    CONNECT_ANS = 0x0009,
    STREAM_DATA = 0x000A,
    STREAM_FEEDBACK = 0x000B,
    DISCONNECT = 0x000C,
    DISCONNECT_ANS = 0x000D, // also sent unasked
    PAYLOAD_CHECK = 0x000E,
    PAYLOAD_CHECK_ANS = 0x000F,
    INFO_REQ = 0x0010,
    INFO_ANS = 0x0011,
    PREPARE_FORMAT = 0x0012,
    PREPARE_FORMAT_ANS = 0x0013,
    SINK_INFO_REQ = 0x0014,
    SINK_INFO_ANS = 0x0015,
    SYNCNAME_SET = 0x0016,
    HOST_NAME_SET = 0x0018,
    HOST_NAME_SET_ANS = 0x0019,
    TRANSFERDATA_INFO = 0x001A,
    TRANSFERDATA_INFO_ANS = 0x001B,
    TRANSFERDATA_SET = 0x001C,
    TRANSFERDATA_SET_ANS = 0x001D,
    TRANSFERDATA_CHECK = 0x001E,
    TRANSFERDATA_CHECK_ANS = 0x001F,
    VERSION_REQ = 0x0020,
    VERSION_ANS = 0x0021,
    URL_REQ = 0x0022,
    URL_ANS = 0x0023,
    REBOOT = 0x0024,
    REBOOT_ANS = 0x0025,
    HOST_DEBUG = 0x0028,
    HOST_DEBUG_ANS = 0x0029, // with param0 = 2 it carries forwarded log lines
    TEXT_REQ = 0x002C,
    TEXT_ANS = 0x002D,
    CONFIG_ITEM_REQ = 0x0030,
    CONFIG_ITEM_ANS = 0x0031,
    CONFIG_VALUE_REQ = 0x0032,
    CONFIG_VALUE_ANS = 0x0033,
    SINK_ITEM_REQ = 0x0034,
    SINK_ITEM_ANS = 0x0035,
    SINK_VALUE_REQ = 0x0036,
    SINK_VALUE_ANS = 0x0037,
    STATUS_REQ = 0x0038,
    STATUS_ANS = 0x0039,
    CONTROL_NAME = 0x003A,
    CONTROL_NAME_ANS = 0x003B,
    CONTROL_INFO_REQ = 0x003C,
    CONTROL_INFO_ANS = 0x003D,
    CONTROL_VALUE_REQ = 0x003E,
    CONTROL_VALUE_ANS = 0x003F,
    ICON_REQ = 0x0040,
    ICON_ANS = 0x0041,
    SINK_ICON_REQ = 0x0042,
    SINK_ICON_ANS = 0x0043,
    CONTROL_ICON_REQ = 0x0044,
    CONTROL_ICON_ANS = 0x0045,
    SYNCHRO = 0x0046, // no answer
    CONNECT_MS = 0x0048,
    CONNECT_MS_ANS = 0x0049,
    SYNCHRO_INFO_REQ = 0x004A,
    SYNCHRO_INFO_ANS = 0x004B,
    STREAM_PING = 0x004C,
    STREAM_PING_ANS = 0x004D,
    PORT_REGIST = 0x8002,   // sink control socket -> Target, loopback
    STATUS_REGIST = 0x8003, // status socket -> Target, loopback
    SYNC_FORWARD = 0x800C,  // Target -> sinks, loopback
};

constexpr bool isInternalCode(uint16_t code) {
    return (code & 0x8000) != 0;
}
constexpr bool isRequestCode(uint16_t code) {
    return (code & 1) == 0;
}

} // namespace QUORVEL
