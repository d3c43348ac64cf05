#include "tftp/tftp_packets.h"

#include "tftp/tftp_exceptions.h"
#include "tftp/tftp_protocol.h"

namespace {

void AppendWord(std::string& packet, uint16_t value) {
  packet.push_back(static_cast<char>(value >> 8));
  packet.push_back(static_cast<char>(value & 0xFF));
}

void AppendText(std::string& packet, const std::string& text) {
  packet += text;
  packet.push_back('\0');
}

}  // namespace

std::string BuildAck(uint16_t block) {
  std::string packet;
  AppendWord(packet, tftp::kAck);
  AppendWord(packet, block);
  return packet;
}

std::string BuildErrorPacket(uint16_t code, const std::string& text) {
  std::string packet;
  AppendWord(packet, tftp::kError);
  AppendWord(packet, code);
  AppendText(packet, text);
  return packet;
}

std::string BuildOptionAck(const OptionList& options) {
  std::string packet;
  AppendWord(packet, tftp::kOptionAck);
  for (const auto& [name, value] : options) {
    AppendText(packet, name);
    AppendText(packet, value);
  }
  return packet;
}

void WriteDataHeader(char* packet, uint16_t block) {
  packet[0] = 0;
  packet[1] = static_cast<char>(tftp::kData);
  packet[2] = static_cast<char>(block >> 8);
  packet[3] = static_cast<char>(block & 0xFF);
}

uint16_t ReadWord(std::string_view packet, size_t offset) {
  if (packet.size() < offset + 2) return 0;
  return static_cast<uint16_t>((static_cast<unsigned char>(packet[offset]) << 8) |
                               static_cast<unsigned char>(packet[offset + 1]));
}

std::string BuildErrorPacket(const std::exception& failure) {
  return BuildErrorPacket(static_cast<uint16_t>(TftpErrorCodeFor(failure)), failure.what());
}
