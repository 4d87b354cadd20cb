// The hand-over between whoever makes a transfer's bytes and the sink that
// takes them, on a thread of its own or on the caller's.
#include "fetch/pipelined_sink.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

// Keeps what it is handed until it holds `refuseFrom` bytes, then refuses.
class KeepingSink final : public gd::DownloadSink {
  public:
    explicit KeepingSink(std::uint64_t refuseFrom) : refuseFrom_(refuseFrom) {}
    bool accept(std::span<const char> bytes) override {
        if (kept.size() >= refuseFrom_) return false;
        kept.append(bytes.data(), bytes.size());
        return true;
    }
    std::uint64_t received() const override { return kept.size(); }
    std::string kept;

  private:
    std::uint64_t refuseFrom_;
};

// Bytes received, made in place and lent, on either thread, reach the sink
// whole and in the order they were given (what was made before a loan goes
// before it); once the sink refuses, nothing more reaches it, and the calls
// from then on (from the refusal seen on) and finish() say so.
TEST(PipelinedSink, HandsEveryByteOnInOrderUntilTheSinkRefuses) {
    using Where = gd::PipelinedSink::Where;
    const std::string received = gdtest::randomBytes(100 * 1024, 1),
                      made = gdtest::randomBytes(700 * 1024, 2),
                      lent = gdtest::randomBytes(1300 * 1024, 3), last = "the end";
    const std::string all = received + made + lent + last;
    const struct {
        Where where;
        std::uint64_t refuseFrom;
    } cases[] = {{Where::OwnThread, UINT64_MAX},
                 {Where::OnThisThread, UINT64_MAX},
                 {Where::OwnThread, 600 * 1024},
                 {Where::OnThisThread, 600 * 1024},
                 {Where::OnThisThread, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.where == Where::OwnThread ? "own" : "this")
                                        << " thread, refused from " << c.refuseFrom);
        KeepingSink sink(c.refuseFrom);
        gd::PipelinedSink pipeline(sink, c.where);
        bool taken = pipeline.accept(received);
        for (std::size_t done = 0; done < made.size();) {
            const std::span<char> room = pipeline.room(made.size() - done);
            made.copy(room.data(), room.size(), done);
            taken = pipeline.commit(room.size()) && taken;
            done += room.size();
        }
        taken = pipeline.lend(lent) && taken;
        taken = pipeline.accept(last) && taken;
        const bool finished = pipeline.finish();
        const bool refused = c.refuseFrom < all.size();
        EXPECT_EQ(finished, !refused);
        // Another thread's refusal may come after the last call.
        if (!refused || c.where == Where::OnThisThread) {
            EXPECT_EQ(taken, !refused);
        }
        if (!refused) {
            EXPECT_EQ(pipeline.received(), all.size());
        }
        EXPECT_EQ(sink.kept, refused ? all.substr(0, sink.kept.size()) : all);
        EXPECT_FALSE(pipeline.accept(last));
    }
}

}  // namespace
