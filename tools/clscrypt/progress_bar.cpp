#include "progress_bar.hpp"

#include <algorithm>
#include <cstdio>

namespace clscrypt::tool {

ProgressBar::ProgressBar(bool enabled, std::uint64_t total_bytes, std::size_t file_count, std::size_t slots)
    : enabled_(enabled),
      total_(total_bytes),
      files_(file_count),
      slots_(std::max<std::size_t>(slots, 1)),
      start_(std::chrono::steady_clock::now()) {}

ProgressBar::~ProgressBar() {
    clear();
}

void ProgressBar::start_file(const std::string& name, std::uint64_t size, std::size_t slot) {
    const std::lock_guard<std::mutex> lock(mutex_);
    slots_.at(slot) = {name, size, 0};
    ++started_;
}

void ProgressBar::update(std::int32_t percent, std::size_t slot) {
    const std::lock_guard<std::mutex> lock(mutex_);
    slots_.at(slot).percent = std::clamp(percent, 0, 100);
    draw(slot, percent >= 100);
}

void ProgressBar::finish_file(std::size_t slot) {
    const std::lock_guard<std::mutex> lock(mutex_);
    done_before_ += slots_.at(slot).size;
    slots_.at(slot).size = 0;
    slots_.at(slot).percent = 0;
}

void ProgressBar::clear() {
    const std::lock_guard<std::mutex> lock(mutex_);
    clear_locked();
}

void ProgressBar::message(const std::string& line) {
    const std::lock_guard<std::mutex> lock(mutex_);
    clear_locked();
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

void ProgressBar::clear_locked() {
    if (enabled_ && drawn_) {
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
        drawn_ = false;
    }
}

void ProgressBar::draw(std::size_t slot, bool force) {
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && drawn_ && now - last_draw_ < std::chrono::milliseconds(50)) return;
    last_draw_ = now;
    const std::int32_t p = slots_[slot].percent;
    double done = static_cast<double>(done_before_);
    for (const Slot& s : slots_) done += static_cast<double>(s.size) * s.percent / 100.0;
    const double overall = total_ == 0 ? 1.0 : std::min(1.0, done / static_cast<double>(total_));
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double rate = seconds > 0 ? done / seconds / (1024.0 * 1024.0) : 0.0;

    constexpr int kWidth = 30;
    const int filled = static_cast<int>(p * kWidth / 100);
    char bar[kWidth + 1];
    for (int i = 0; i < kWidth; ++i) bar[i] = i < filled ? '#' : '.';
    bar[kWidth] = '\0';
    std::string name = slots_[slot].name;
    if (name.size() > 32) name = "..." + name.substr(name.size() - 29);
    if (files_ > 1) {
        std::fprintf(stderr, "\r\033[K[%s] %3d%%  %s  (file %zu of %zu, %3.0f%% overall)  %.1f MiB/s", bar, p,
                     name.c_str(), started_, files_, overall * 100.0, rate);
    } else {
        std::fprintf(stderr, "\r\033[K[%s] %3d%%  %s  %.1f MiB/s", bar, p, name.c_str(), rate);
    }
    std::fflush(stderr);
    drawn_ = true;
}

}  // namespace clscrypt::tool
