// Reading requests and settling their options, without sockets.
#include "tftp/tftp_request.h"

#include <gtest/gtest.h>

#include "tftp/tftp_exceptions.h"
#include "tftp/tftp_session_options.h"
#include "tftp_test_support.h"

namespace tftp_test {
namespace {

TEST(TransferModeTest, OctetBinaryAndNetasciiInAnyCase) {
  EXPECT_EQ(ParseTransferMode("OCTET"), mdOctet);
  EXPECT_EQ(ParseTransferMode("Binary"), mdOctet);
  EXPECT_EQ(ParseTransferMode("netASCII"), mdNetAscii);
  for (const char* bad : {"", "octets", "octe"}) {
    try {
      ParseTransferMode(bad);
      ADD_FAILURE() << bad;
    } catch (const ENetTFTPIllegalOperation& failure) {
      EXPECT_EQ(failure.Message(), std::string("Unsupported transfer mode: \"") + bad + "\"");
    }
  }
}

TEST(RequestParseTest, FieldsOptionsAndCutShortDatagrams) {
  TftpRequest full = ParseRequest(
      Request(2, "log/a", "octet", {{"tsize", "0"}, {"blksize", "1428"}}), "127.0.0.1", 5);
  EXPECT_EQ(full.Opcode, 2);
  EXPECT_EQ(full.FileName, "log/a");
  EXPECT_EQ(full.ModeText, "octet");
  ASSERT_EQ(full.Options.size(), 2u);
  EXPECT_EQ(full.Options[1], (std::pair<std::string, std::string>{"blksize", "1428"}));

  TftpRequest noZero = ParseRequest(Word(1) + "name", "h", 1);
  EXPECT_EQ(noZero.FileName, "name");
  EXPECT_EQ(noZero.ModeText, "");
  TftpRequest lastValueUnterminated =
      ParseRequest(Word(1) + "n" + '\0' + "octet" + '\0' + "blksize" + '\0' + "64", "h", 1);
  ASSERT_EQ(lastValueUnterminated.Options.size(), 1u);
  EXPECT_EQ(lastValueUnterminated.Options[0].second, "64");
  EXPECT_TRUE(ParseRequest(Word(1) + "n" + '\0' + "octet" + '\0' + "blksize" + '\0', "h", 1)
                  .Options.empty());

  EXPECT_THROW(ParseRequest(std::string(1, '\x01'), "h", 1), EReadError);
  try {
    ParseRequest(Ack(3), "10.0.0.9", 4711);
    ADD_FAILURE();
  } catch (const ENetTFTPIllegalOperation& failure) {
    EXPECT_EQ(failure.Message(), "Unexpected operation from 10.0.0.9:4711");
  }
}

TEST(OptionNegotiationTest, BlockSizeRangeAndOptionAckBytes) {
  auto agreed = [](const std::string& value) {
    SessionOptions options = NegotiateOptions({{"blksize", value}});
    return options.Acknowledged.empty() ? 0 : options.BlockSize;
  };
  EXPECT_EQ(agreed("8"), 8);
  EXPECT_EQ(agreed("65464"), 65464);
  EXPECT_EQ(agreed("65465"), 65464);
  EXPECT_EQ(agreed("99999999999"), 65464) << "too large for an int, cut like any other";
  EXPECT_EQ(agreed("+99999999999"), 65464);
  EXPECT_EQ(agreed("-99999999999"), 0);
  EXPECT_EQ(agreed("7"), 0);
  EXPECT_EQ(NegotiateOptions({{"blksize", "7"}}).BlockSize, 512);

  SessionOptions mixed =
      NegotiateOptions({{"color", "3"}, {"BlkSize", "1024"}, {"blksize", "2048"}});
  EXPECT_EQ(mixed.BlockSize, 1024);
  EXPECT_EQ(BuildOptionAck(mixed.Acknowledged), Word(6) + "BlkSize" + '\0' + "1024" + '\0');
  try {
    NegotiateOptions({{"blksize", "12x"}});
    ADD_FAILURE();
  } catch (const EConvertError& failure) {
    EXPECT_EQ(failure.Message(), "'12x' is not a valid integer value");
  }
}

TEST(PacketTest, ErrorCodeFollowsTheExceptionClass) {
  EXPECT_EQ(TftpErrorCodeFor(ENetTFTPFileNotFound("x")), 1);
  EXPECT_EQ(TftpErrorCodeFor(ENetTFTPIllegalOperation("x")), 4);
  EXPECT_EQ(TftpErrorCodeFor(EAbort("Operation aborted")), 0);
  EXPECT_EQ(BuildErrorPacket(1, "Cannot open file x"), Error(1, "Cannot open file x"));
  EXPECT_EQ(BuildAck(0xABCD), std::string("\0\4\xAB\xCD", 4));
}

}  // namespace
}  // namespace tftp_test
