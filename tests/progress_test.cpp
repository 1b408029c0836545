// The Progress event: the values and their order, checked against a
// block-by-block reference of the schedule, and the listener contract.

#include <cmath>
#include <stdexcept>

#include "cipher/layout.hpp"
#include "clscrypt/clscrypt.hpp"
#include "test_util.hpp"

namespace clscrypt::test {
namespace {

std::vector<std::int32_t> values_of(int first, int last, int step) {
    std::vector<std::int32_t> v;
    for (int p = first; p <= last; p += step) v.push_back(p);
    return v;
}

// The loop as the format's reference describes it: a test after every block.
std::vector<std::int32_t> reference_in_loop(std::uint64_t total) {
    std::vector<std::int32_t> out;
    double threshold = 0;
    for (std::uint64_t k = 0; k + 8 <= total; k += 8) {
        if (static_cast<double>(k) < threshold) continue;
        const double pct = std::floor(static_cast<double>(k) / static_cast<double>(total) * 100.0);
        threshold = std::nearbyint((pct + 1.0) / 100.0 * static_cast<double>(total) + 1.0);
        out.push_back(static_cast<std::int32_t>(pct));
    }
    return out;
}

std::vector<std::int32_t> events_of_decrypt(std::size_t message_size) {
    clsToString c;
    auto bytes = random_bytes(message_size);
    c.EncryptByte(bytes, u"progress");
    std::vector<std::int32_t> seen;
    c.Progress.Subscribe([&](std::int32_t& p) { seen.push_back(p); });
    c.DecryptByte(bytes);
    return seen;
}

std::vector<std::int32_t> events_of_encrypt(std::size_t message_size) {
    clsToString c;
    std::vector<std::int32_t> seen;
    c.Progress.Subscribe([&](std::int32_t& p) { seen.push_back(p); });
    auto bytes = random_bytes(message_size);
    c.EncryptByte(bytes);
    return seen;
}

TEST(Progress, SequencesForTypicalLengths) {
    struct Case {
        std::size_t array_length;
        std::vector<std::int32_t> in_loop;
    };
    const Case cases[] = {
        {16, {0, 50}},
        {24, {0, 33, 66}},
        {32, {0, 25, 50, 75}},
        {80, values_of(0, 90, 10)},
        {856, values_of(0, 99, 1)},
        {4096, values_of(0, 99, 1)},
    };
    for (const auto& c : cases) {
        auto expected = c.in_loop;
        expected.push_back(100);
        // Encryption runs over T = array length: messages of T - 12 bytes.
        EXPECT_EQ(events_of_encrypt(c.array_length - 12), expected) << "encrypt " << c.array_length;
        EXPECT_EQ(events_of_decrypt(c.array_length - 12), expected) << "decrypt " << c.array_length;
    }
}

TEST(Progress, MatchesTheBlockByBlockReferenceForManyLengths) {
    // The implementation jumps from event to event; the reference tests every block.
    for (std::size_t t = 16; t <= 4000; t += 8) {
        auto expected = reference_in_loop(t);
        expected.push_back(100);
        ASSERT_EQ(events_of_encrypt(t - 12), expected) << "T = " << t;
    }
    for (const std::size_t t : {std::size_t{65536}, std::size_t{99992}, std::size_t{1000008}}) {
        auto expected = reference_in_loop(t);
        expected.push_back(100);
        ASSERT_EQ(events_of_decrypt(t - 12), expected) << "T = " << t;
    }
}

TEST(Progress, ScheduleThresholdsAreRoundedHalfToEven) {
    // T = 200: after 0 the next threshold is 1/100*200+1 = 3 -> block 8;
    // later thresholds land on exact halves for odd multiples.
    detail::ProgressSchedule s(200);
    EXPECT_EQ(s.next_event_block(), 0U);
    EXPECT_EQ(s.advance(0), 0);
    EXPECT_EQ(s.next_event_block(), 8U);
    EXPECT_EQ(detail::round_half_even(2.5), 2.0);
    EXPECT_EQ(detail::round_half_even(3.5), 4.0);
    EXPECT_EQ(detail::round_half_even(-0.5), -0.0);
    EXPECT_EQ(detail::round_half_even(7.25), 7.0);
}

TEST(Progress, ListenerStoring100SuppressesTheClosingEvent) {
    clsToString c;
    std::vector<std::int32_t> seen;
    c.Progress.Subscribe([&](std::int32_t& p) {
        seen.push_back(p);
        if (p == 50) p = 100;
    });
    std::vector<std::uint8_t> bytes;
    c.EncryptByte(bytes);  // 16 bytes: 0, 50, then the closing event
    EXPECT_EQ(seen, (std::vector<std::int32_t>{0, 50}));
}

TEST(Progress, ListenersShareThePercentageInSubscriptionOrder) {
    clsToString c;
    std::vector<std::pair<int, std::int32_t>> seen;
    c.Progress.Subscribe([&](std::int32_t& p) {
        seen.emplace_back(1, p);
        p += 1;
    });
    c.Progress.Subscribe([&](std::int32_t& p) { seen.emplace_back(2, p); });
    std::vector<std::uint8_t> bytes;
    c.EncryptByte(bytes);
    const std::vector<std::pair<int, std::int32_t>> expected = {{1, 0}, {2, 1}, {1, 50}, {2, 51}, {1, 100}, {2, 101}};
    EXPECT_EQ(seen, expected);
}

TEST(Progress, UnsubscribeStopsAListenerEvenDuringAnEvent) {
    clsToString c;
    int first = 0, second = 0;
    std::size_t second_token = 0;
    const std::size_t first_token = c.Progress.Subscribe([&](std::int32_t&) {
        ++first;
        c.Progress.Unsubscribe(second_token);
    });
    second_token = c.Progress.Subscribe([&](std::int32_t&) { ++second; });
    std::vector<std::uint8_t> bytes;
    c.EncryptByte(bytes);
    EXPECT_EQ(first, 3);
    EXPECT_EQ(second, 0);
    c.Progress.Unsubscribe(first_token);
    EXPECT_FALSE(c.Progress.HasListeners());
    c.EncryptByte(bytes);
    EXPECT_EQ(first, 3);
}

TEST(Progress, AThrowingListenerStopsTheOperation) {
    clsToString c;
    auto message = random_bytes(100);
    auto bytes = message;
    c.EncryptByte(bytes, u"k");
    const auto ciphertext = bytes;
    const std::size_t token = c.Progress.Subscribe([](std::int32_t& p) {
        if (p >= 50) throw std::runtime_error("listener gave up");
    });
    EXPECT_THROW(c.DecryptByte(bytes), std::runtime_error);
    // The array keeps its length; the blocks before the event are deciphered.
    EXPECT_EQ(bytes.size(), ciphertext.size());
    EXPECT_NE(bytes, ciphertext);
    c.Progress.Unsubscribe(token);
    bytes = ciphertext;
    c.DecryptByte(bytes);
    EXPECT_EQ(bytes, message);
}

}  // namespace
}  // namespace clscrypt::test
