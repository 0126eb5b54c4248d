// SPDX-License-Identifier: Apache-2.0
// Trace control and the trace file. Lines also go to a bounded in-memory
// capture, without time stamps, so tests can compare records exactly.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <pthread.h>
#include <string>
#include <unistd.h>

#include "zorvel/internal.h"

extern "C" {
NODE_API unsigned char ptrc[PTRC_SIZE];
NODE_API TRC_API trc_api = {0, {0, 0, 0}, TRC_NO_FILE};
}

namespace zv {
namespace {

constexpr uint32_t kTraceHandle = 1;
constexpr size_t kCaptureMax = 65536;

// Guards the file and the capture; never held while calling out.
std::mutex g_mutex;
FILE *g_file = nullptr;
std::deque<std::string> g_lines;
uint32_t g_total = 0;

// The file lock callers hold around a whole record. A plain mutex plus an
// owner flag, so a nested lock is reported instead of deadlocking.
pthread_mutex_t g_file_lock = PTHREAD_MUTEX_INITIALIZER;
thread_local bool t_file_locked = false;

bool env_flag(const char *name) {
    const char *v = std::getenv(name);
    return v && std::strcmp(v, "1") == 0;
}

void load_ptrc() {
    std::memset(ptrc, 0, sizeof ptrc);
    if (env_flag("ZORVEL_API_TRACE")) ptrc[PTRC_API_TRACE_BYTE] |= PTRC_API_TRACE_BIT;
    if (env_flag("ZORVEL_NO_AUDIT")) ptrc[PTRC_AUDIT_BYTE] |= PTRC_NO_AUDIT_BIT;
}

__attribute__((constructor)) void load_ptrc_at_start() {
    load_ptrc();
}

// Writes one line to the file (with `stamp` appended there only) and keeps
// it in the capture. Lines for a handle we did not hand out are dropped.
void emit(uint32_t handle, const std::string &line, const std::string &stamp = {}) {
    bool stray = false;
    {
        std::lock_guard<std::mutex> guard(g_mutex);
        if (handle != kTraceHandle || !g_file) {
            stray = handle != TRC_NO_FILE;
        } else {
            std::fprintf(g_file, "%s%s\n", line.c_str(), stamp.c_str());
            std::fflush(g_file);
            g_lines.push_back(line);
            if (g_lines.size() > kCaptureMax) g_lines.pop_front();
            ++g_total;
        }
    }
    if (stray) ZV_ASSERT_FAILED("com_trc: write to a trace handle that is not open");
}

std::string text_or(const char *s, const char *fallback) {
    return s ? s : fallback;
}

} // namespace

void reset_trace() {
    {
        std::lock_guard<std::mutex> guard(g_mutex);
        if (g_file) std::fclose(g_file);
        g_file = nullptr;
        g_lines.clear();
        g_total = 0;
    }
    trc_api = TRC_API{0, {0, 0, 0}, TRC_NO_FILE};
    load_ptrc();
}

uint32_t trace_line_count() {
    std::lock_guard<std::mutex> guard(g_mutex);
    return g_total;
}

const char *trace_line_at(uint32_t index) {
    std::lock_guard<std::mutex> guard(g_mutex);
    const uint32_t first = g_total - static_cast<uint32_t>(g_lines.size());
    if (index < first || index >= g_total) return nullptr;
    return g_lines[index - first].c_str();
}

void clear_trace_lines() {
    std::lock_guard<std::mutex> guard(g_mutex);
    g_lines.clear();
    g_total = 0;
}

} // namespace zv

extern "C" NODE_API void sepuapi_init(unsigned char *trace_control) {
    (void)trace_control; // the settings live in ptrc itself
    bool opened = false;
    {
        std::lock_guard<std::mutex> guard(zv::g_mutex);
        if (!zv::g_file && !zv::fault(ZT_FAULT_TRACE_OPEN)) {
            const char *path = std::getenv("ZORVEL_TRACE_FILE");
            zv::g_file = std::fopen(path && *path ? path : "zorvel.trc", "a");
        }
        opened = zv::g_file != nullptr;
    }
    trc_api.handle = opened ? zv::kTraceHandle : TRC_NO_FILE;
}

extern "C" NODE_API void trc_lock_file(TRC_API *trace) {
    (void)trace;
    if (zv::t_file_locked) {
        ZV_ASSERT_FAILED("trc_lock_file: trace file already locked by this thread");
        return;
    }
    pthread_mutex_lock(&zv::g_file_lock);
    zv::t_file_locked = true;
}

extern "C" NODE_API void trc_unlock_file(TRC_API *trace) {
    (void)trace;
    if (!zv::t_file_locked) {
        ZV_ASSERT_FAILED("trc_unlock_file: trace file not locked by this thread");
        return;
    }
    zv::t_file_locked = false;
    pthread_mutex_unlock(&zv::g_file_lock);
}

extern "C" NODE_API void com_trc_sep(uint32_t handle, const char *prefix) {
    char pid[32];
    std::snprintf(pid, sizeof pid, " pid %ld", static_cast<long>(getpid()));
    zv::emit(handle, zv::text_or(prefix, "") + ZT_TRACE_SEPARATOR,
             " " + zv::time_stamp() + pid + " " ZT_TRACE_SEPARATOR);
}

extern "C" NODE_API void com_trc_line(uint32_t handle, const char *prefix, const char *text) {
    zv::emit(handle, zv::text_or(prefix, "") + zv::text_or(text, "(null)"));
}

extern "C" NODE_API void com_trc_dump(uint32_t handle, const char *prefix, const void *address,
                                      uint32_t length) {
    const std::string head = zv::text_or(prefix, "");
    if (length != 0 && !address) {
        zv::emit(handle, head + "(null address, " + std::to_string(length) + " bytes)");
        return;
    }
    const auto *bytes = static_cast<const unsigned char *>(address);
    for (uint32_t offset = 0; offset < length; offset += 16) {
        const uint32_t n = length - offset < 16 ? length - offset : 16;
        char line[128];
        int pos = std::snprintf(line, sizeof line, "%04X  ", static_cast<unsigned>(offset));
        for (uint32_t i = 0; i < 16; ++i) {
            if (i < n)
                pos += std::snprintf(line + pos, sizeof line - pos, "%02X ", bytes[offset + i]);
            else
                pos += std::snprintf(line + pos, sizeof line - pos, "   ");
        }
        line[pos++] = ' ';
        for (uint32_t i = 0; i < n; ++i) {
            const unsigned char c = bytes[offset + i];
            line[pos++] = c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.';
        }
        line[pos] = '\0';
        zv::emit(handle, head + line);
    }
}
