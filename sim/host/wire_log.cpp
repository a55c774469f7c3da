#include "sim/host/wire_log.h"

#include <cinttypes>

namespace sim {

uint32_t Crc32(const uint8_t* data, size_t length, uint32_t crc) {
    static uint32_t table[256];
    static bool ready = false;
    if (!ready) {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[i] = c;
        }
        ready = true;
    }
    crc = ~crc;
    for (size_t i = 0; i < length; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

std::string DescribeBytes(const uint8_t* data, size_t length) {
    if (length <= kInlineBytes) return EscapeBytes(data, length);
    char buf[64];
    std::snprintf(buf, sizeof buf, "[%zu bytes crc32 %08" PRIX32 "]", length, Crc32(data, length));
    return buf;
}

void WireLog::HostByte(uint64_t frame, uint8_t byte, bool in_data, bool complete, uint64_t ms) {
    if (!host_open_ || frame != host_frame_) {
        FlushDevice();
        FlushHost();
        host_open_ = true;
        host_frame_ = frame;
        host_ms_ = ms;
    }
    (in_data ? host_data_ : host_text_).push_back(byte);
    host_last_ms_ = ms;
    host_complete_ = complete;
}

void WireLog::IdleFlush(uint64_t ms) {
    if (host_open_) {
        if (!host_complete_ || ms - host_last_ms_ < kQuietMs) return;
    }
    FlushDevice();
    FlushHost();
}

void WireLog::HostNote(const std::string& note) {
    if (!host_open_) return;
    if (!host_note_.empty()) host_note_ += ' ';
    host_note_ += note;
}

void WireLog::DeviceByte(uint64_t frame, uint8_t byte, uint64_t ms, const char* note) {
    const std::string n = note ? note : "";
    if (dev_open_ && (frame != dev_frame_ || n != dev_note_)) {
        // The host frame that this reply answers goes first.
        if (host_open_ && host_frame_ <= dev_frame_) FlushHost();
        FlushDevice();
    }
    if (!dev_open_) {
        dev_open_ = true;
        dev_frame_ = frame;
        dev_ms_ = ms;
        dev_note_ = n;
    }
    dev_bytes_.push_back(byte);
}

void WireLog::Note(uint64_t ms, uint64_t frame, const char* kind, const std::string& text) {
    if (!file_) return;
    std::fprintf(file_, "%s %" PRIu64 " %" PRIu64 " %s\n", kind, ms, frame, text.c_str());
    std::fflush(file_);
}

void WireLog::Flush() {
    FlushDevice();
    FlushHost();
    if (file_) std::fflush(file_);
}

void WireLog::FlushHost() {
    if (!host_open_) return;
    host_open_ = false;
    if (file_) {
        std::string bytes = EscapeBytes(host_text_.data(), host_text_.size());
        bytes += DescribeBytes(host_data_.data(), host_data_.size());
        std::fprintf(file_, "host %" PRIu64 " %" PRIu64 " %s%s%s\n", host_ms_, host_frame_,
                     bytes.c_str(), host_note_.empty() ? "" : " ", host_note_.c_str());
        std::fflush(file_);
    }
    host_text_.clear();
    host_data_.clear();
    host_note_.clear();
}

void WireLog::FlushDevice() {
    if (!dev_open_) return;
    if (host_open_ && host_frame_ <= dev_frame_) FlushHost();
    dev_open_ = false;
    if (file_) {
        std::string bytes = DescribeBytes(dev_bytes_.data(), dev_bytes_.size());
        std::fprintf(file_, "dev %" PRIu64 " %" PRIu64 " %s%s%s\n", dev_ms_, dev_frame_,
                     bytes.c_str(), dev_note_.empty() ? "" : " ", dev_note_.c_str());
        std::fflush(file_);
    }
    dev_bytes_.clear();
    dev_note_.clear();
}

}  // namespace sim
