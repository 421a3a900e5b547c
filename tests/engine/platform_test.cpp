#include "binding/runtime/platform.hpp"
#include "engine/compiler.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>

namespace vantor::platform {
namespace {

TEST(Platform, ThreadIdentifiersAreStableAndDistinct) {
    const uint64_t here = thread_id();
    EXPECT_NE(here, 0u);
    EXPECT_EQ(thread_id(), here);
    uint64_t other = 0;
    std::thread([&other] { other = thread_id(); }).join();
    EXPECT_NE(other, 0u);
    EXPECT_NE(other, here);
}

TEST(Platform, StandardErrorReceivesEveryByte) {
    std::string text(100000, 'x');
    text += "\nend\n";
    ::testing::internal::CaptureStderr();
    write_stderr(text);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), text);
}

VANTOR_NOINLINE std::size_t capture_from_here(void** frames, std::size_t capacity,
                                              const void** caller) {
    *caller = VANTOR_RETURN_ADDRESS();
    return capture_stack(frames, capacity);
}

TEST(Platform, CapturedFramesLeadBackToThisProgram) {
    void* frames[64];
    const void* caller = nullptr;
    const std::size_t count = capture_from_here(frames, 64, &caller);
    if (!stack_capture_available) {
        EXPECT_EQ(count, 0u);
        EXPECT_FALSE(describe_address(caller).found);
        return;
    }
    ASSERT_GE(count, 3u);
    // The failure report finds the frame of its caller this way to cut off its own.
    bool caller_seen = false;
    for (std::size_t i = 0; i < count; ++i)
        caller_seen = caller_seen || frames[i] == caller;
    EXPECT_TRUE(caller_seen);

    // Two addresses of one module: same module path, offsets as far apart as the addresses.
    // The innermost frame of this program is compared: a sanitizer's runtime may capture the
    // stack for it and put its own frame first.
    const CodeAddress outer = describe_address(caller);
    ASSERT_TRUE(outer.found);
    EXPECT_FALSE(outer.module.empty());
    std::size_t first = 0;
    while (first < count && describe_address(frames[first]).module != outer.module)
        ++first;
    ASSERT_LT(first, count);
    const CodeAddress inner = describe_address(frames[first]);
    EXPECT_EQ(outer.offset - inner.offset,
              reinterpret_cast<uintptr_t>(caller) - reinterpret_cast<uintptr_t>(frames[first]));
}

}  // namespace
}  // namespace vantor::platform
