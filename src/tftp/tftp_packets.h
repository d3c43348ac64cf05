// Building and reading TFTP packets: each packet is a byte string (a value),
// built whole and sent as one datagram. Stateless; thread safe.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

using OptionList = std::vector<std::pair<std::string, std::string>>;

// The four bytes of an acknowledgement of block.
std::string BuildAck(uint16_t block);
// Opcode 5, the code, the text and one zero byte.
std::string BuildErrorPacket(uint16_t code, const std::string& text);
// Opcode 6, then each option's name, 0, value, 0, and nothing after that.
std::string BuildOptionAck(const OptionList& options);
// Writes the opcode and block number of a data packet into its first 4 bytes.
void WriteDataHeader(char* packet, uint16_t block);

// A 16-bit field in network byte order at offset (0 when cut short).
uint16_t ReadWord(std::string_view packet, size_t offset);

// The error packet that answers failure: the code follows from its class, the
// text is its message.
std::string BuildErrorPacket(const std::exception& failure);
