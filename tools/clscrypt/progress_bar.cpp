#include "progress_bar.hpp"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "files.hpp"
#include "terminal.hpp"

namespace clscrypt::tool {

ProgressBar::ProgressBar(bool enabled, std::uint64_t total_bytes, std::size_t file_count, std::size_t slots)
    : enabled_(enabled),
      plain_(environment_variable("TERM").value_or("") == "dumb"),
      total_(total_bytes),
      files_(file_count),
      slots_(std::max<std::size_t>(slots, 1)),
      start_(std::chrono::steady_clock::now()) {}

ProgressBar::~ProgressBar() {
    clear();
}

void ProgressBar::start_file(const std::string& name, std::uint64_t size, std::size_t number, std::size_t slot) {
    const std::lock_guard<std::mutex> lock(mutex_);
    slots_.at(slot) = {name, size, 0, number};
}

std::size_t ProgressBar::room() {
    return static_cast<std::size_t>(std::max(terminal_columns() - 1, 0));
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

void ProgressBar::lines(const std::string& name, std::uint64_t lines_done, std::uint64_t bytes_done) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    if (drawn_ && now - last_draw_ < std::chrono::milliseconds(50)) return;
    last_draw_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double rate = seconds > 0 ? static_cast<double>(lines_done) / seconds : 0.0;
    char tail[96];
    std::snprintf(tail, sizeof tail, "  %llu lines  %.0f lines/s", static_cast<unsigned long long>(lines_done), rate);
    std::string line;
    if (total_ > 0) {
        // Standard input that is no file has no size: then the count alone.
        const auto p = static_cast<int>(std::min<std::uint64_t>(100, bytes_done * 100 / total_));
        const std::size_t width = 20;
        const auto filled = static_cast<std::size_t>(p) * width / 100;
        char percent[8];
        std::snprintf(percent, sizeof percent, "%3d%%  ", p);
        line.append(1, '[').append(filled, '#').append(width - filled, '.').append("] ").append(percent);
    }
    std::string shown = name;
    if (shown.size() > 32) shown = "..." + shown.substr(shown.size() - 29);
    line += shown;
    line += tail;
    show(std::move(line));
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
        if (plain_) {
            std::fprintf(stderr, "\r%s\r", std::string(shown_columns_, ' ').c_str());
        } else {
            std::fputs("\r\033[K", stderr);
        }
        std::fflush(stderr);
        drawn_ = false;
        shown_columns_ = 0;
        set_progress_line_shown(false);
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

    // The line must fit the terminal: a line that wraps cannot be redrawn
    // in place. The bar narrows first, then the name loses its start, then
    // the line is cut.
    const std::size_t room = ProgressBar::room();
    char tail[96];
    if (files_ > 1) {
        std::snprintf(tail, sizeof tail, "  (file %zu of %zu, %3.0f%% overall)  %.1f MiB/s", slots_[slot].number,
                      files_, overall * 100.0, rate);
    } else {
        std::snprintf(tail, sizeof tail, "  %.1f MiB/s", rate);
    }
    std::string name = slots_[slot].name;
    if (name.size() > 32) name = "..." + name.substr(name.size() - 29);
    const std::size_t fixed = 2 + 5 + 2 + std::string(tail).size();  // "[" "]" " 100%" "  "
    std::size_t width = 30;
    if (fixed + width + name.size() > room)
        width = std::max<std::size_t>(10, room > fixed + name.size() ? room - fixed - name.size() : 0);
    if (fixed + width + name.size() > room && name.size() > 3) {
        const std::size_t keep = room > fixed + width + 3 ? room - fixed - width - 3 : 0;
        name = "..." + name.substr(name.size() - std::min(keep, name.size()));
    }
    const auto filled = static_cast<std::size_t>(p) * width / 100;
    // Appended piece by piece: g++ 12 at -O3 takes "[" + std::string(...)
    // for an overlapping copy (-Wrestrict), a false alarm.
    std::string line(1, '[');
    line.append(filled, '#').append(width - filled, '.').append("] ");
    char percent[8];
    std::snprintf(percent, sizeof percent, "%3d%%", p);
    line += percent;
    line += "  " + name + tail;
    show(std::move(line));
}

void ProgressBar::show(std::string line) {
    // Cut to the terminal's width at a character boundary (UTF-8
    // continuation bytes do not count): a line that wraps cannot be redrawn
    // in place.
    const std::size_t room = ProgressBar::room();
    std::size_t columns = 0, cut = 0;
    for (; cut < line.size(); ++cut) {
        if ((static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) continue;
        if (columns == room) break;
        ++columns;
    }
    line.resize(cut);
    if (plain_) {
        // Spaces over what the last line left beyond this one.
        if (columns < shown_columns_) line.append(shown_columns_ - columns, ' ');
        shown_columns_ = std::max(columns, shown_columns_);
        set_progress_line_plain(static_cast<int>(shown_columns_));
        set_progress_line_shown(true);
        std::fprintf(stderr, "\r%s", line.c_str());
    } else {
        set_progress_line_shown(true);
        std::fprintf(stderr, "\r\033[K%s", line.c_str());
    }
    std::fflush(stderr);
    drawn_ = true;
}

}  // namespace clscrypt::tool
