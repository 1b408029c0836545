#include "progress_bar.hpp"

#include <algorithm>
#include <cstdio>

namespace clscrypt::tool {

ProgressBar::ProgressBar(bool enabled, std::uint64_t total_bytes, std::size_t file_count)
    : enabled_(enabled), total_(total_bytes), files_(file_count), start_(std::chrono::steady_clock::now()) {}

ProgressBar::~ProgressBar() { clear(); }

void ProgressBar::start_file(const std::string& name, std::uint64_t size) {
    name_ = name;
    current_size_ = size;
    ++file_index_;
}

void ProgressBar::update(std::int32_t percent) { draw(percent, percent >= 100); }

void ProgressBar::finish_file() {
    done_before_ += current_size_;
    current_size_ = 0;
}

void ProgressBar::clear() {
    if (enabled_ && drawn_) {
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
        drawn_ = false;
    }
}

void ProgressBar::draw(std::int32_t percent, bool force) {
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && drawn_ && now - last_draw_ < std::chrono::milliseconds(50)) return;
    last_draw_ = now;
    const std::int32_t p = std::clamp(percent, 0, 100);
    const double done = static_cast<double>(done_before_) + static_cast<double>(current_size_) * p / 100.0;
    const double overall = total_ == 0 ? 1.0 : std::min(1.0, done / static_cast<double>(total_));
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double rate = seconds > 0 ? done / seconds / (1024.0 * 1024.0) : 0.0;

    constexpr int kWidth = 30;
    const int filled = static_cast<int>(p * kWidth / 100);
    char bar[kWidth + 1];
    for (int i = 0; i < kWidth; ++i) bar[i] = i < filled ? '#' : '.';
    bar[kWidth] = '\0';
    std::string name = name_;
    if (name.size() > 32) name = "..." + name.substr(name.size() - 29);
    if (files_ > 1) {
        std::fprintf(stderr, "\r\033[K[%s] %3d%%  %s  (file %zu of %zu, %3.0f%% overall)  %.1f MiB/s", bar, p,
                     name.c_str(), file_index_, files_, overall * 100.0, rate);
    } else {
        std::fprintf(stderr, "\r\033[K[%s] %3d%%  %s  %.1f MiB/s", bar, p, name.c_str(), rate);
    }
    std::fflush(stderr);
    drawn_ = true;
}

}  // namespace clscrypt::tool
