// SPDX-License-Identifier: Apache-2.0
// Fuzz driver for what the daemon decodes from its peers: the daemon
// protocol's Reader (split into chunks the input chooses) and the LU 6.2
// frames that attaches and deliveries carry. Whatever decodes must encode
// back to bytes that decode the same; anything else must be refused
// without a crash, a leak or undefined behaviour (run it under ASan and
// UBSan).
//
// Standalone (the CTest run): fuzz_protocol CORPUS_DIR SECONDS [SEED]
// runs the seed inputs and every file of CORPUS_DIR (which may be absent),
// then random mutations of them for SECONDS.
// fuzz_protocol --write-corpus DIR writes the seed inputs.
// With libFuzzer (clang):
//   clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -DZORVEL_LIBFUZZER -I.
//     tests/fuzz/fuzz_protocol.cpp zorvel/node_protocol.cpp zorvel/lu62_messages.cpp -o fuzz_protocol
//   mkdir corpus && <standalone build>/fuzz_protocol --write-corpus corpus
//   ./fuzz_protocol -max_total_time=60 corpus
// Inputs worth keeping (a crash found that way, once fixed) go into
// tests/fuzz/corpus, which the CTest run reads when it exists.
#include <dirent.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "zorvel/lu62_messages.h"
#include "zorvel/node_protocol.h"

namespace {

using namespace zv;
using Bytes = std::vector<uint8_t>;

void check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_protocol: %s\n", what);
        std::abort();
    }
}

void frame(const Bytes &b) {
    const auto m = lu62::decode(b.data(), b.size());
    if (!m) return;
    const Bytes again = lu62::encode(*m);
    const auto m2 = lu62::decode(again.data(), again.size());
    check(m2 && *m2 == *m, "an LU 6.2 frame does not decode as it encoded");
}

// Returns the number of messages the input held.
size_t one_input(const uint8_t *data, size_t size) {
    frame(Bytes(data, data + size));
    if (size == 0) return 0;
    const size_t chunk = 1 + data[0] % 32;
    proto::Reader reader;
    size_t messages = 0;
    for (size_t at = 1; at < size && !reader.bad(); at += chunk) {
        reader.feed(data + at, std::min(chunk, size - at));
        while (auto m = reader.take()) {
            ++messages;
            const Bytes b = proto::encode(*m);
            proto::Reader again;
            again.feed(b.data(), b.size());
            const auto m2 = again.take();
            check(m2 && proto::encode(*m2) == b, "a daemon message does not decode as it encoded");
            if (const auto *a = std::get_if<proto::Attach>(&*m)) frame(a->frame);
            if (const auto *d = std::get_if<proto::Deliver>(&*m)) frame(d->frame);
        }
    }
    return messages;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    one_input(data, size);
    return 0;
}

#ifndef ZORVEL_LIBFUZZER
namespace {

Bytes seed_attach_frame() {
    lu62::Message m;
    m.session = 3;
    m.rh.fmh = m.rh.begin_chain = m.rh.begin_bracket = true;
    m.attach = lu62::Attach{1, 1, 2, "SERVER", "CLERK", "SECRET", "#INTER", "NETA.LU1", "NETA.LU2"};
    m.data = {0, 5, 1, 2, 3};
    return lu62::encode(m);
}

std::vector<Bytes> seeds() {
    std::vector<Bytes> out;
    const auto add = [&](uint8_t chunk, const std::vector<proto::Message> &ms) {
        Bytes b{chunk};
        for (const proto::Message &m : ms) {
            const Bytes e = proto::encode(m);
            b.insert(b.end(), e.begin(), e.end());
        }
        out.push_back(b);
    };
    add(7, {proto::Hello{1, 42}, proto::TpStarted{{1, 2}, "LOCAL", "CLIENT"}, proto::Register{"SERVER"}});
    add(0, {proto::AcceptWait{9, {3}, {"A", "SERVER"}}, proto::AcceptCancel{9}, proto::Withdraw{"SERVER"}});
    add(31, {proto::Attach{5, {1}, seed_attach_frame()}});
    add(3, {proto::Deliver{1, 2, "LOCAL", "NETA.LU1", seed_attach_frame()}, proto::Query{4}});
    add(12, {proto::QueryReply{4, {proto::ConvInfo{1, 1, 2, 300, 400}}}, proto::Status{1},
             proto::StatusReply{"text"}, proto::Stop{}, proto::ConvEnded{5, 1}, proto::TpEnded{{1}}});
    lu62::Message e;
    e.session = 3;
    e.to_primary = true;
    e.rh.fmh = e.rh.begin_chain = e.rh.end_chain = e.rh.conditional_end_bracket = true;
    e.error = lu62::ErrorFmh{0x10086021};
    out.push_back(lu62::encode(e));
    out.push_back(lu62::rejection_frame(9, 0x084B6031));
    lu62::Message s;
    s.rh.dfc = true;
    s.signal = lu62::kSignalRequestToSend;
    out.push_back(lu62::encode(s));
    return out;
}

Bytes mutate(Bytes b, const std::vector<Bytes> &pool, std::mt19937 &rng) {
    const auto pick = [&](size_t n) { return n ? static_cast<size_t>(rng() % n) : 0; };
    static const uint32_t kInteresting[] = {0,     1,      0x7F,   0x80,    0xFF,
                                            0x100, 0x7FFF, 0xFFFF, 0x10000, 0xFFFFFFFF};
    for (size_t k = 1 + pick(6); k-- > 0;) {
        switch (pick(7)) {
        case 0:
            if (!b.empty()) b[pick(b.size())] ^= static_cast<uint8_t>(1u << pick(8));
            break;
        case 1:
            if (!b.empty()) b[pick(b.size())] = static_cast<uint8_t>(rng());
            break;
        case 2:
            b.insert(b.begin() + static_cast<long>(pick(b.size() + 1)), static_cast<uint8_t>(rng()));
            break;
        case 3:
            if (!b.empty()) b.erase(b.begin() + static_cast<long>(pick(b.size())));
            break;
        case 4: { // an interesting value, big-endian, 2 or 4 bytes
            const uint32_t v = kInteresting[pick(std::size(kInteresting))];
            const size_t w = pick(2) ? 2 : 4;
            if (b.size() >= w) {
                const size_t at = pick(b.size() - w + 1);
                for (size_t i = 0; i < w; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * (w - 1 - i)));
            }
            break;
        }
        case 5: { // splice in a piece of another input
            const Bytes &o = pool[pick(pool.size())];
            if (o.empty()) break;
            const size_t from = pick(o.size()), n = 1 + pick(o.size() - from);
            b.insert(b.begin() + static_cast<long>(pick(b.size() + 1)), o.begin() + static_cast<long>(from),
                     o.begin() + static_cast<long>(from + n));
            break;
        }
        case 6:
            if (b.size() > 1) b.resize(pick(b.size()));
            break;
        }
    }
    if (b.size() > 70000) b.resize(70000);
    return b;
}

Bytes read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 3 && std::strcmp(argv[1], "--write-corpus") == 0) {
        const std::vector<Bytes> s = seeds();
        for (size_t i = 0; i < s.size(); ++i) {
            std::ofstream out(std::string(argv[2]) + "/seed" + std::to_string(i), std::ios::binary);
            out.write(reinterpret_cast<const char *>(s[i].data()), static_cast<std::streamsize>(s[i].size()));
        }
        return 0;
    }
    if (argc < 3) {
        std::fprintf(stderr, "usage: fuzz_protocol CORPUS_DIR SECONDS [SEED] | --write-corpus DIR\n");
        return 2;
    }
    // The seeds, and what a corpus folder adds (libFuzzer's findings, say).
    std::vector<Bytes> pool = seeds();
    if (DIR *d = opendir(argv[1])) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') pool.push_back(read_file(std::string(argv[1]) + "/" + e->d_name));
        closedir(d);
    }
    size_t seed_messages = 0;
    for (const Bytes &b : pool) seed_messages += one_input(b.data(), b.size());
    check(seed_messages > 0, "the seeds hold no message the reader takes");
    const uint32_t seed = argc > 3 ? static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10))
                                   : static_cast<uint32_t>(std::random_device{}());
    std::mt19937 rng(seed);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(std::atoi(argv[2]));
    size_t runs = 0, kept = 0;
    while (std::chrono::steady_clock::now() < until) {
        for (int i = 0; i < 256; ++i, ++runs) {
            Bytes b = mutate(pool[rng() % pool.size()], pool, rng);
            // Inputs that still hold messages are worth mutating further.
            if (one_input(b.data(), b.size()) > 0 && pool.size() < 4096) {
                pool.push_back(std::move(b));
                ++kept;
            }
        }
    }
    std::printf("fuzz_protocol: seed %u, %zu inputs, %zu kept, no failure\n", seed, runs, kept);
    return 0;
}
#endif
