#include "shared/messages/ChunkMessages.h"

#include "tests/messages/TestBytes.h"

#include <gtest/gtest.h>

namespace brimo {
namespace {

using test::bytesOf;

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

Bytes zeros(size_t count) {
    return Bytes(count, 0);
}

// Every strict prefix of a valid payload is a truncated message and must be refused.
template <typename Decode> void expectEveryPrefixFails(const Bytes& payload, Decode decode) {
    for (size_t length = 0; length < payload.size(); ++length)
        EXPECT_FALSE(decode(std::span(payload).first(length))) << "prefix of " << length;
}

RelayItemSummary summary() {
    RelayItemSummary summary;
    summary.identifier = "f.txt";
    summary.filename = "f.txt";
    summary.size = 3;
    summary.modifyTime = {-5, 999'999'999};
    summary.contentVersion = {0x07};
    return summary;
}

TEST(ReadChunkRequest, HasTheExactByteLayout) {
    const Bytes expected = concat({{0x01, 0x00, 0x61}, zeros(8), {0x00, 0x00, 0x40, 0x00}});
    EXPECT_EQ(encodeReadChunkRequest("a", 0), expected);

    EXPECT_EQ(encodeReadChunkRequest("", 0x0102030405060708ULL),
              concat({{0x00, 0x00},
                      {0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01},
                      {0x00, 0x00, 0x40, 0x00}}));
}

TEST(ReadChunkRequest, RoundTripsAndRefusesAnythingButOneMessage) {
    const auto encoded = encodeReadChunkRequest("photos/ü.jpg", 8388608);
    ASSERT_TRUE(encoded);
    EXPECT_EQ(decodeReadChunkRequest(*encoded),
              (ReadChunkRequest{"photos/ü.jpg", 8388608, chunkSize}));
    expectEveryPrefixFails(*encoded, decodeReadChunkRequest);
    EXPECT_FALSE(decodeReadChunkRequest(concat({*encoded, {0x00}})));
}

TEST(ChunkRequests, IdentifierMustFitASixteenBitLength) {
    const std::string longest(65535, 'x');
    const std::string tooLong(65536, 'x');
    const auto read = encodeReadChunkRequest(longest, 0);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->size(), 2u + 65535 + 8 + 4);
    EXPECT_EQ(decodeReadChunkRequest(*read)->identifier, longest);
    EXPECT_FALSE(encodeReadChunkRequest(tooLong, 0));

    const Bytes data{1, 2, 3};
    EXPECT_TRUE(encodeWriteChunkRequest(longest, 0, data));
    EXPECT_FALSE(encodeWriteChunkRequest(tooLong, 0, data));
}

TEST(ReadChunkResponse, EmptyDataAndItsBoundaries) {
    const Bytes empty = concat({{0x10, 0, 0, 0, 0, 0, 0, 0}, {0x01}, zeros(4)});
    ASSERT_EQ(empty.size(), 13u);
    EXPECT_EQ(decodeReadChunkResponse(empty), (ReadChunkResponse{16, true, {}}));

    EXPECT_FALSE(decodeReadChunkResponse(concat({empty, {0x00}})));
    Bytes eofTwo = empty;
    eofTwo[8] = 2;
    EXPECT_FALSE(decodeReadChunkResponse(eofTwo));
    expectEveryPrefixFails(empty, decodeReadChunkResponse);
}

TEST(ReadChunkResponse, DataLengthMustMatchTheRest) {
    const ReadChunkResponse response{4, false, {0xDE, 0xAD, 0xBE, 0xEF}};
    const auto encoded = encodeReadChunkResponse(response);
    ASSERT_TRUE(encoded);
    EXPECT_EQ(*encoded,
              concat({{4, 0, 0, 0, 0, 0, 0, 0}, {0x00}, {4, 0, 0, 0}, {0xDE, 0xAD, 0xBE, 0xEF}}));
    EXPECT_EQ(decodeReadChunkResponse(*encoded), response);

    Bytes lengthPastEnd = *encoded;
    lengthPastEnd[9] = 5;
    EXPECT_FALSE(decodeReadChunkResponse(lengthPastEnd));
    Bytes lengthShort = *encoded;
    lengthShort[9] = 3;
    EXPECT_FALSE(decodeReadChunkResponse(lengthShort));
}

TEST(WriteChunkRequest, RoundTripsAndRefusesTruncation) {
    const Bytes data = bytesOf("hello");
    const auto encoded = encodeWriteChunkRequest("w", 4194304, data);
    ASSERT_TRUE(encoded);
    EXPECT_EQ(
        *encoded,
        concat({{0x01, 0x00, 'w'}, {0, 0, 0x40, 0, 0, 0, 0, 0}, {5, 0, 0, 0}, bytesOf("hello")}));
    EXPECT_EQ(decodeWriteChunkRequest(*encoded), (WriteChunkRequest{"w", 4194304, data}));
    expectEveryPrefixFails(*encoded, decodeWriteChunkRequest);
    EXPECT_FALSE(decodeWriteChunkRequest(concat({*encoded, {0x00}})));
}

TEST(RelayWriteChunkResponse, SixteenBytesCarryNoSummary) {
    const Bytes payload = concat({{0x00, 0x00, 0x40, 0, 0, 0, 0, 0}, {0x05, 0, 0, 0, 0, 0, 0, 0}});
    EXPECT_EQ(decodeWriteChunkResponse(payload),
              (RelayWriteChunkResponse{4194304, 5, std::nullopt}));
    EXPECT_EQ(encodeWriteChunkResponse({4194304, 5, std::nullopt}), payload);
    expectEveryPrefixFails(payload, decodeWriteChunkResponse);
}

TEST(RelayWriteChunkResponse, AnythingAfterTheIntegersMustBeOneSummaryField) {
    const RelayWriteChunkResponse withSummary{3, 3, summary()};
    const auto encoded = encodeWriteChunkResponse(withSummary);
    ASSERT_TRUE(encoded);
    EXPECT_EQ(decodeWriteChunkResponse(*encoded), withSummary);

    const Bytes integers = zeros(16);
    EXPECT_FALSE(decodeWriteChunkResponse(concat({integers, zeros(4)}))); // empty document
    EXPECT_FALSE(decodeWriteChunkResponse(concat({integers, {0x02, 0, 0, 0}, bytesOf("{}")})));
    EXPECT_FALSE(decodeWriteChunkResponse(concat({integers, {0x01}}))); // partial length
    EXPECT_FALSE(decodeWriteChunkResponse(concat({*encoded, {0x00}}))); // left over
    // Every cut is refused except right after the integers, which is a summary-less response.
    for (size_t length = 0; length < encoded->size(); ++length) {
        if (length == 16) continue;
        EXPECT_FALSE(decodeWriteChunkResponse(std::span(*encoded).first(length))) << length;
    }
}

TEST(ChunksInPlace, AViewAndADraftCarryTheSameBytesAsTheCopyingCodecs) {
    const Bytes data = bytesOf("chunk of a file");
    const auto response = encodeReadChunkResponse({42, true, data});
    ASSERT_TRUE(response);
    const auto view = decodeReadChunkView(*response);
    ASSERT_TRUE(view);
    EXPECT_EQ(view->nextOffset, 42u);
    EXPECT_TRUE(view->eof);
    EXPECT_EQ(Bytes(view->data.begin(), view->data.end()), data);
    EXPECT_EQ(view->data.data(), response->data() + 13) << "the data is not copied";
    EXPECT_FALSE(decodeReadChunkView(concat({*response, {0x00}})));

    // A draft for more than the file gave, cut down to what was read, is the plain request.
    auto draft = draftWriteChunkRequest("a/b", 7, 100);
    ASSERT_TRUE(draft);
    std::copy(data.begin(), data.end(), draft->payload.begin() + draft->dataAt);
    shortenWriteChunkRequest(*draft, static_cast<uint32_t>(data.size()));
    EXPECT_EQ(draft->payload, encodeWriteChunkRequest("a/b", 7, data));
    EXPECT_EQ(decodeWriteChunkRequest(draft->payload), (WriteChunkRequest{"a/b", 7, data}));
    EXPECT_FALSE(draftWriteChunkRequest(std::string(65536, 'x'), 0, 1));
    const auto written = decodeWriteChunkView(draft->payload);
    ASSERT_TRUE(written);
    EXPECT_EQ(written->identifier, "a/b");
    EXPECT_EQ(written->offset, 7u);
    EXPECT_EQ(written->data.data(), draft->payload.data() + draft->dataAt);
    EXPECT_EQ(Bytes(written->data.begin(), written->data.end()), data);
}

} // namespace
} // namespace brimo
