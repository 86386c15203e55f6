#include "shared/messages/FileIOMessages.h"

#include "tests/messages/TestBytes.h"

#include <gtest/gtest.h>

namespace brimo {
namespace {

using test::bytesOf;
using test::textOf;

constexpr std::string_view sessionText = "6BA7B810-9DAD-11D1-80B4-00C04FD430C8";

Uuid session() {
    return Uuid::parse(sessionText).value();
}

TEST(FileIOCodes, OperationAcceptsZeroToThree) {
    EXPECT_EQ(fileIOOperationFromRaw(0), FileIOOperation::beginRead);
    EXPECT_EQ(fileIOOperationFromRaw(1), FileIOOperation::endRead);
    EXPECT_EQ(fileIOOperationFromRaw(2), FileIOOperation::beginWrite);
    EXPECT_EQ(fileIOOperationFromRaw(3), FileIOOperation::endWrite);
    EXPECT_FALSE(fileIOOperationFromRaw(4));
    EXPECT_FALSE(fileIOOperationFromRaw(-1));
}

TEST(FileIOCodes, BridgeErrorAcceptsZeroToEight) {
    for (int64_t raw = 0; raw <= 8; ++raw)
        EXPECT_EQ(fileIOBridgeErrorFromRaw(raw), static_cast<FileIOBridgeError>(raw));
    EXPECT_EQ(fileIOBridgeErrorFromRaw(5), FileIOBridgeError::deviceRejected);
    EXPECT_EQ(fileIOBridgeErrorFromRaw(7), FileIOBridgeError::codingFailed);
    EXPECT_FALSE(fileIOBridgeErrorFromRaw(9));
    EXPECT_FALSE(fileIOBridgeErrorFromRaw(-1));
}

TEST(Uuid, ParsesEitherCaseAndPrintsUpperCase) {
    const auto lower = Uuid::parse("6ba7b810-9dad-11d1-80b4-00c04fd430c8");
    ASSERT_TRUE(lower);
    EXPECT_EQ(lower->toString(), sessionText);
    EXPECT_EQ(lower, Uuid::parse(sessionText));

    const std::string withNul = std::string(sessionText) + std::string("\0X", 2);
    const std::string_view invalid[] = {
        "",
        "not-a-uuid",
        "{6BA7B810-9DAD-11D1-80B4-00C04FD430C8}",
        "6BA7B810-9DAD-11D1-80B4-00C04FD430CG",
        "6BA7B8109DAD11D180B400C04FD430C8",
        withNul,
    };
    for (const auto text : invalid)
        EXPECT_FALSE(Uuid::parse(text)) << text;
}

TEST(Uuid, RandomValuesDiffer) {
    const auto first = Uuid::random();
    EXPECT_NE(first, Uuid::random());
    EXPECT_EQ(Uuid::parse(first.toString()), first);
}

TEST(FileIOBeginReadRequest, EncodesAndDecodes) {
    const FileIOBeginReadRequest request{"photos/1.jpg", session()};
    const auto encoded = encodeJson(request);
    EXPECT_EQ(
        textOf(encoded),
        R"({"identifier":"photos/1.jpg","sessionID":"6BA7B810-9DAD-11D1-80B4-00C04FD430C8"})");
    EXPECT_EQ(decodeFileIOBeginReadRequest(encoded), request);

    const auto lowerCase = decodeFileIOBeginReadRequest(
        bytesOf(R"({"sessionID":"6ba7b810-9dad-11d1-80b4-00c04fd430c8","identifier":"i"})"));
    ASSERT_TRUE(lowerCase);
    EXPECT_EQ(lowerCase->sessionID, session());

    EXPECT_FALSE(decodeFileIOBeginReadRequest(bytesOf(R"({"identifier":"i","sessionID":"x"})")));
    EXPECT_FALSE(decodeFileIOBeginReadRequest(bytesOf(R"({"identifier":"i","sessionID":1})")));
    EXPECT_FALSE(decodeFileIOBeginReadRequest(bytesOf(R"({"identifier":"i"})")));
}

TEST(FileIOBeginWriteRequest, EncodesVersionAsBase64AndKeysInOrder) {
    FileIOBeginWriteRequest request{
        .identifier = "notes.txt",
        .sessionID = session(),
        .expectedContentVersion = {0x01, 0x02, 0x03},
        .token = "W1",
        .sourceFileName = "upload_W1.src",
        .byteCount = 4294967296ULL,
    };
    EXPECT_EQ(textOf(encodeJson(request)),
              R"({"identifier":"notes.txt","sessionID":"6BA7B810-9DAD-11D1-80B4-00C04FD430C8",)"
              R"("expectedContentVersion":"AQID","token":"W1","sourceFileName":"upload_W1.src",)"
              R"("byteCount":4294967296})");
    EXPECT_EQ(decodeFileIOBeginWriteRequest(encodeJson(request)), request);

    request.expectedContentVersion = {};
    const auto encoded = encodeJson(request);
    EXPECT_NE(textOf(encoded).find(R"("expectedContentVersion":"")"), std::string::npos);
    EXPECT_EQ(decodeFileIOBeginWriteRequest(encoded), request);
}

TEST(FileIOBeginWriteRequest, RejectsMissingOrMistypedFields) {
    const std::string_view invalid[] = {
        // byteCount missing
        R"({"identifier":"i","sessionID":"6BA7B810-9DAD-11D1-80B4-00C04FD430C8",)"
        R"("expectedContentVersion":"","token":"t","sourceFileName":"f"})",
        // byteCount negative
        R"({"identifier":"i","sessionID":"6BA7B810-9DAD-11D1-80B4-00C04FD430C8",)"
        R"("expectedContentVersion":"","token":"t","sourceFileName":"f","byteCount":-1})",
        // expectedContentVersion not Base64
        R"({"identifier":"i","sessionID":"6BA7B810-9DAD-11D1-80B4-00C04FD430C8",)"
        R"("expectedContentVersion":"A","token":"t","sourceFileName":"f","byteCount":1})",
        // token a number
        R"({"identifier":"i","sessionID":"6BA7B810-9DAD-11D1-80B4-00C04FD430C8",)"
        R"("expectedContentVersion":"","token":5,"sourceFileName":"f","byteCount":1})",
    };
    for (const auto text : invalid)
        EXPECT_FALSE(decodeFileIOBeginWriteRequest(bytesOf(text))) << text;
}

TEST(FileIOTokenRequests, EncodeTheTokenAndRequireIt) {
    EXPECT_EQ(textOf(encodeJson(FileIOEndReadRequest{"R1"})), R"({"token":"R1"})");
    EXPECT_EQ(textOf(encodeJson(FileIOEndWriteRequest{"W1"})), R"({"token":"W1"})");
    EXPECT_EQ(decodeFileIOEndReadRequest(bytesOf(R"({"token":"R1","more":0})")),
              FileIOEndReadRequest{"R1"});
    EXPECT_EQ(decodeFileIOEndWriteRequest(bytesOf(R"({"token":""})")), FileIOEndWriteRequest{""});
    EXPECT_FALSE(decodeFileIOEndReadRequest(bytesOf(R"({"tokens":"R1"})")));
    EXPECT_FALSE(decodeFileIOEndWriteRequest(bytesOf(R"({"token":["W1"]})")));
    EXPECT_FALSE(decodeFileIOEndWriteRequest(bytesOf("token")));
}

TEST(SharedFileDescriptor, EncodesKeysInOrderAndRoundTrips) {
    const SharedFileDescriptor descriptor{
        .token = std::string(sessionText),
        .fileName = "transfer_" + std::string(sessionText) + ".bin",
        .byteCount = 10,
        .contentVersion = {0xAB},
        .metadataVersion = {0xAB},
    };
    EXPECT_EQ(textOf(encodeJson(descriptor)),
              R"({"token":"6BA7B810-9DAD-11D1-80B4-00C04FD430C8",)"
              R"("fileName":"transfer_6BA7B810-9DAD-11D1-80B4-00C04FD430C8.bin",)"
              R"("byteCount":10,"contentVersion":"qw==","metadataVersion":"qw=="})");
    EXPECT_EQ(decodeSharedFileDescriptor(encodeJson(descriptor)), descriptor);
    EXPECT_FALSE(decodeSharedFileDescriptor(
        bytesOf(R"({"token":"t","fileName":"f","byteCount":1,"contentVersion":""})")));
}

TEST(FileIODeviceRejection, CarriesTheStatusAsASignedInteger) {
    EXPECT_EQ(textOf(encodeJson(FileIODeviceRejection{5})), R"({"status":5})");
    EXPECT_EQ(decodeFileIODeviceRejection(bytesOf(R"({"status":-3})")), FileIODeviceRejection{-3});
    EXPECT_FALSE(decodeFileIODeviceRejection(bytesOf(R"({"status":2.5})")));
    EXPECT_FALSE(decodeFileIODeviceRejection(bytesOf(R"({"status":"5"})")));
    // The phone's reason goes along only when it gave one.
    const FileIODeviceRejection withDetail{7, Bytes{'{', '}'}};
    EXPECT_EQ(textOf(encodeJson(withDetail)), R"({"status":7,"detail":"e30="})");
    EXPECT_EQ(decodeFileIODeviceRejection(encodeJson(withDetail)), withDetail);
}

TEST(RelayTruncateWriteRequest, LeavesOutAnAbsentVersion) {
    const RelayTruncateWriteRequest withoutVersion{"a.txt", 42, std::nullopt};
    EXPECT_EQ(textOf(encodeJson(withoutVersion)), R"({"identifier":"a.txt","size":42})");
    EXPECT_EQ(decodeRelayTruncateWriteRequest(encodeJson(withoutVersion)), withoutVersion);

    const RelayTruncateWriteRequest withVersion{"a.txt", 42, Bytes{0x00, 0x10}};
    EXPECT_EQ(textOf(encodeJson(withVersion)),
              R"({"identifier":"a.txt","size":42,"expectedContentVersion":"ABA="})");
    EXPECT_EQ(decodeRelayTruncateWriteRequest(encodeJson(withVersion)), withVersion);

    const RelayTruncateWriteRequest emptyVersion{"a.txt", 0, Bytes{}};
    EXPECT_EQ(decodeRelayTruncateWriteRequest(encodeJson(emptyVersion)), emptyVersion);

    EXPECT_FALSE(decodeRelayTruncateWriteRequest(
        bytesOf(R"({"identifier":"a","size":1,"expectedContentVersion":"@@@@"})")));
    EXPECT_FALSE(decodeRelayTruncateWriteRequest(bytesOf(R"({"identifier":"a"})")));
}

TEST(RelayCommitWriteRequest, EncodesTheIdentifier) {
    EXPECT_EQ(textOf(encodeJson(RelayCommitWriteRequest{"dir/f"})), R"({"identifier":"dir/f"})");
    EXPECT_EQ(decodeRelayCommitWriteRequest(bytesOf(R"({"identifier":"dir/f"})")),
              RelayCommitWriteRequest{"dir/f"});
    EXPECT_FALSE(decodeRelayCommitWriteRequest(bytesOf("{}")));
}

} // namespace
} // namespace brimo
