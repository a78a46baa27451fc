// The frames the tool sends to the Z500 and the reply heads it looks for.
//
// Standard frames: "$$", frame class, command letter, payload length (16-bit
// little-endian), payload, check byte (XOR of every byte before it, from
// 0x00), CR LF. Upgrade frames of class V have no length field, check byte or
// CR LF; the serial reset is six bare bytes and the unlog command plain text.
// Every builder returns the complete frame, ready for one Write.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace Z500 {

using TFrame = std::vector<uint8_t>;

// Frame classes.
inline constexpr uint8_t fcStatic = 0x46;    // 'F': parameters, directory, deletion, format
inline constexpr uint8_t fcSettings = 0x53;  // 'S': sound, serial reset
inline constexpr uint8_t fcUpgrade = 0x56;   // 'V': firmware upgrade

// The check byte of a standard frame: XOR of `bytes`, starting from 0x00.
uint8_t CheckByte(std::span<const uint8_t> bytes);

// A standard frame of class `frameClass` with `command` and `payload`. A
// payload longer than 65535 bytes cannot be framed: the result is empty.
TFrame StandardFrame(uint8_t frameClass, uint8_t command, std::span<const uint8_t> payload);

// "$$FJ", no payload: asks for the sampling interval and the cut-off angle.
TFrame ReadParametersRequest();
// "$$FJ" with the interval in seconds and the cut-off angle in degrees.
TFrame WriteParametersRequest(uint8_t interval, uint8_t cutoff);
// "$$FM" with 0x08 and the index of the next directory entry wanted.
TFrame DirectoryRequest(uint16_t index);
// "$$FD" with the 8 name bytes of each file, in order. Empty when `names` is
// empty or holds more than 8191 names (the length would not fit).
TFrame DeleteRequest(std::span<const std::array<uint8_t, 8>> names);
// "$$FD", no payload: formats the flash.
TFrame FormatRequest();
// "$$SI" with FF FF 01 FF: switches the receiver's sound output on.
TFrame SoundCommand();
// The bare "$$SRST": resets the receiver's serial port to its default.
TFrame SerialResetCommand();
// "$$VS" 01 00: the upgrade handshake.
TFrame UpgradeHandshake();
// "$$VX", n, the address (32-bit big-endian), then the n data bytes. Empty
// when `data` holds more than 255 bytes.
TFrame BlockFrame(uint32_t address, std::span<const uint8_t> data);
// "unlogall com1\r\n" and a 0x00: stops the receiver's periodic output.
TFrame UnlogCommand();

// The four bytes that begin a reply awaited on the raw byte stream.
using TReplyHead = std::array<uint8_t, 4>;
inline constexpr TReplyHead SerialResetHead{0x24, 0x24, 0x53, 0x52};  // "$$SR"
inline constexpr TReplyHead FormatHead{0x24, 0x24, 0x46, 0x44};       // "$$FD"

}  // namespace Z500
