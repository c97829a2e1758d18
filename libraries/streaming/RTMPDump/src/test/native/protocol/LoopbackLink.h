// A librtmp connection record whose socket is one end of a socket pair;
// whatever the sender writes is decoded back into messages on the other end.
#pragma once

#include "RtmpChunks.h"

#include <librtmp/rtmp.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Ostrel.h"

class LoopbackLink {
public:
    LoopbackLink();
    ~LoopbackLink();
    RTMP *rtmp() { return &r_; }
    // Closes the sending side and waits until every byte has been decoded.
    std::vector<tavrel_testing::RtmpMessage> finish();

private:
    RTMP r_;
    int peer_ = -1;
    std::thread reader_;
    tavrel_testing::ChunkDecoder decoder_;
    bool finished_ = false;
};

// A Logger that keeps every line.
struct CapturedLog {
    CapturedLog();
    ~CapturedLog();
    std::vector<std::pair<int, std::string>> lines() const;
    bool contains(int level, const std::string &text) const;
    Logger *logger;

private:
    static void sink(void *context, int level, const char *fmt, va_list args);
    mutable std::mutex mutex_;
    std::vector<std::pair<int, std::string>> lines_;
};

std::vector<uint8_t> bytes(std::initializer_list<int> list);
