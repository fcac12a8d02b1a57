#include "support/memory_line.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace testsupport {

MemoryLine* MemoryLine::current_ = nullptr;

const qel::SerialBackend MemoryLine::kBackend{
    &MemoryLine::Open, &MemoryLine::Close, &MemoryLine::GetReadTimeout, &MemoryLine::SetReadTimeout,
    &MemoryLine::Write, &MemoryLine::Read, &MemoryLine::ReadWaiting, &MemoryLine::InputPending, &MemoryLine::SetBreak,
    &MemoryLine::Sleep, &MemoryLine::LineErrors, &MemoryLine::MarkQuiet, &MemoryLine::TakeQuiet,
};

MemoryLine::MemoryLine() {
    current_ = this;
    qel::UseSerialBackend(&kBackend);
}

MemoryLine::~MemoryLine() {
    qel::UseSerialBackend(nullptr);
    current_ = nullptr;
}

void MemoryLine::Feed(std::string_view bytes) {
    std::lock_guard lock(mutex_);
    input_.append(bytes);
}

void MemoryLine::FeedOverTime(std::uint64_t atMs, std::uint64_t everyMs, std::string_view bytes) {
    std::lock_guard lock(mutex_);
    for (const char c : bytes) {
        toArrive_.push_back({atMs, c});
        atMs += everyMs;
    }
}

std::size_t MemoryLine::Pending() const {
    std::lock_guard lock(mutex_);
    return input_.size() + toArrive_.size();
}

void MemoryLine::Arrive() {
    std::size_t due = 0;
    while (due < toArrive_.size() && toArrive_[due].atMs <= sleptMs_) input_.push_back(toArrive_[due++].byte);
    toArrive_.erase(toArrive_.begin(), toArrive_.begin() + static_cast<std::ptrdiff_t>(due));
}

bool MemoryLine::WaitForByte(std::uint64_t byMs) {
    if (toArrive_.empty() || toArrive_.front().atMs > byMs) return false;
    sleptMs_ = std::max(sleptMs_, toArrive_.front().atMs);
    Arrive();
    return true;
}

std::size_t MemoryLine::Take(std::span<std::uint8_t> buffer) {
    const std::size_t n = std::min(buffer.size(), input_.size());
    std::memcpy(buffer.data(), input_.data(), n);
    input_.erase(0, n);
    for (const std::size_t offset : errorOffsets_) {
        if (offset >= consumed_ && offset < consumed_ + n) lineError_ = true;
    }
    consumed_ += n;
    return n;
}

void MemoryLine::LineErrorAt(std::size_t offset) {
    std::lock_guard lock(mutex_);
    errorOffsets_.push_back(offset);
}

std::size_t MemoryLine::Consumed() const {
    std::lock_guard lock(mutex_);
    return consumed_;
}

std::vector<std::string> MemoryLine::Writes() const {
    std::lock_guard lock(mutex_);
    return writes_;
}

std::string MemoryLine::Written() const {
    std::lock_guard lock(mutex_);
    std::string all;
    for (const auto& w : writes_) all += w;
    return all;
}

qel::PortHandle MemoryLine::Open(const PortSettings&) {
    MemoryLine* line = current_;
    if (line->openFails_ || line->open_) return qel::NO_PORT;
    line->open_ = true;
    ++line->opens_;
    line->readTimeoutMs_ = qel::OPEN_READ_TIMEOUT_MS;
    line->quiet_ = false;
    return kHandle;
}

void MemoryLine::MarkQuiet(qel::PortHandle handle) {
    if (handle == kHandle && current_->open_) current_->quiet_ = true;
}

bool MemoryLine::TakeQuiet(qel::PortHandle handle) {
    if (handle != kHandle || !current_->open_) return false;
    const bool was = current_->quiet_;
    current_->quiet_ = false;
    return was;
}

bool MemoryLine::Close(qel::PortHandle handle) {
    MemoryLine* line = current_;
    if (handle != kHandle || !line->open_) return false;
    line->open_ = false;
    ++line->closes_;
    return true;
}

bool MemoryLine::GetReadTimeout(qel::PortHandle handle, std::uint32_t* ms) {
    if (handle != kHandle || !current_->open_) return false;
    *ms = current_->readTimeoutMs_;
    return true;
}

bool MemoryLine::SetReadTimeout(qel::PortHandle handle, std::uint32_t ms) {
    if (handle != kHandle || !current_->open_) return false;
    current_->readTimeoutMs_ = ms;
    return true;
}

bool MemoryLine::Write(qel::PortHandle handle, std::span<const std::uint8_t> bytes, std::uint32_t* written) {
    MemoryLine* line = current_;
    if (handle != kHandle || !line->open_) return false;
    const std::string text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    Responder responder;
    {
        std::lock_guard lock(line->mutex_);
        line->writes_.push_back(text);
        if (line->echo_) line->input_.append(text);
        responder = line->responder_;
    }
    if (responder) responder(text, *line);
    *written = static_cast<std::uint32_t>(bytes.size());
    return true;
}

bool MemoryLine::Read(qel::PortHandle handle, std::span<std::uint8_t> buffer, std::uint32_t* received) {
    MemoryLine* line = current_;
    if (handle != kHandle || !line->open_) return false;
    std::lock_guard lock(line->mutex_);
    line->Arrive();
    const std::uint64_t deadline = line->sleptMs_ + line->readTimeoutMs_;
    std::size_t n = line->Take(buffer);
    while (n < buffer.size() && line->WaitForByte(deadline)) n += line->Take(buffer.subspan(n));
    if (n < buffer.size()) {
        ++line->timeouts_;
        line->sleptMs_ = deadline;
    }
    *received = static_cast<std::uint32_t>(n);
    return true;
}

bool MemoryLine::ReadWaiting(qel::PortHandle handle, std::span<std::uint8_t> buffer, std::uint32_t firstByteMs,
                             std::uint32_t* received) {
    MemoryLine* line = current_;
    if (handle != kHandle || !line->open_) return false;
    std::lock_guard lock(line->mutex_);
    line->Arrive();
    if (line->input_.empty() && !line->WaitForByte(line->sleptMs_ + firstByteMs)) line->sleptMs_ += firstByteMs;
    *received = static_cast<std::uint32_t>(line->Take(buffer));
    return true;
}

bool MemoryLine::InputPending(qel::PortHandle handle, bool* pending) {
    if (handle != kHandle || !current_->open_) return false;
    std::lock_guard lock(current_->mutex_);
    current_->Arrive();
    *pending = !current_->input_.empty();
    return true;
}

bool MemoryLine::SetBreak(qel::PortHandle handle, bool) { return handle == kHandle && current_->open_; }

void MemoryLine::Sleep(std::uint32_t ms) { current_->sleptMs_ += ms; }

bool MemoryLine::LineErrors(qel::PortHandle handle) {
    MemoryLine* line = current_;
    if (handle != kHandle || !line->open_) return false;
    std::lock_guard lock(line->mutex_);
    return std::exchange(line->lineError_, false);
}

}  // namespace testsupport
