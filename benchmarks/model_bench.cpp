// The model's arithmetic alone, without Python: construction, setup and
// compute. Run normally it is a Google Benchmark binary (ns per operation);
// run under callgrind with --instructions it counts instructions per
// operation instead, between callgrind dumps the benchmark script reads.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "model/vessel.hpp"

#if defined(__has_include)
#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define MODEL_BENCH_HAVE_CALLGRIND 1
#endif
#endif

namespace {

using veltrum::model::Vessel;

// Values the optimiser must treat as unknown. Google Benchmark's DoNotOptimize
// offers the compiler a choice of register or memory, and GCC then mishandles
// doubles; these pin the constraint to one kind of storage per type.
inline void opaque(double& value) { asm volatile("" : "+x"(value)); }
inline void opaque(bool& value) { asm volatile("" : "+r"(value)); }
template <class T>
inline void opaque_in_memory(T& value) {
    asm volatile("" : "+m"(value) : : "memory");
}

struct Weather {
    double wind_beta;
    std::int32_t wind_scale;
    double wave_height;
    double wave_beta;
};

// A spread of directions, forces and heights, cycled through so that no
// branch or table entry is the only one exercised.
constexpr std::array<Weather, 8> kWeather{{
    {0.0, 4, 2.0, 0.0},
    {45.0, 4, 2.0, 45.0},
    {90.0, 6, 2.9, 100.0},
    {170.0, 7, 3.0, 170.0},
    {0.0, 12, 7.0, 0.0},
    {0.0, 0, 0.5, 200.0},
    {120.0, 9, 4.5, 135.0},
    {60.0, 3, 1.0, 60.0},
}};

constexpr std::array<double, 4> kSpeeds{12.0, 8.5, 15.0, 10.0};

Vessel make_vessel() { return veltrum::model::construct(10000.0, 120.0, 20.0, 7.0); }

void construct_once(double displacement) {
    double length = 120.0;
    opaque(displacement);
    opaque(length);
    Vessel v = veltrum::model::construct(displacement, length, 20.0, 7.0);
    opaque_in_memory(v);
}

void setup_once(Vessel& v, std::size_t i) {
    double speed = kSpeeds[i % kSpeeds.size()];
    bool laden = (i & 4U) == 0;
    opaque(speed);
    opaque(laden);
    veltrum::model::setup(v, speed, laden);
    opaque_in_memory(v);
}

void compute_once(const Vessel& v, std::size_t i) {
    Weather w = kWeather[i % kWeather.size()];
    opaque_in_memory(w);
    double r = veltrum::model::compute(v, w.wind_beta, w.wind_scale, w.wave_height, w.wave_beta);
    opaque(r);
}

void BM_Construct(benchmark::State& state) {
    std::size_t i = 0;
    for (auto _ : state) {
        construct_once(10000.0 + static_cast<double>(i++ & 7U));
    }
}

void BM_Setup(benchmark::State& state) {
    Vessel v = make_vessel();
    std::size_t i = 0;
    for (auto _ : state) {
        setup_once(v, i++);
    }
}

void BM_Compute(benchmark::State& state) {
    Vessel v = make_vessel();
    veltrum::model::setup(v, 12.0, true);
    std::size_t i = 0;
    for (auto _ : state) {
        compute_once(v, i++);
    }
}

BENCHMARK(BM_Construct);
BENCHMARK(BM_Setup);
BENCHMARK(BM_Compute);

// Under callgrind: each operation n times between a zeroing and a dump, and
// an empty loop of the same length, so the script can subtract the loop.
int count_instructions(std::size_t n) {
#ifdef MODEL_BENCH_HAVE_CALLGRIND
    Vessel v = make_vessel();
    veltrum::model::setup(v, 12.0, true);
    for (std::size_t i = 0; i < 64; ++i) {  // warm caches and lazy bindings
        construct_once(10000.0);
        setup_once(v, i);
        compute_once(v, i);
    }
    veltrum::model::setup(v, 12.0, true);

    CALLGRIND_ZERO_STATS;
    for (std::size_t i = 0; i < n; ++i) {
        asm volatile("" : "+r"(i));
    }
    CALLGRIND_DUMP_STATS_AT("model/empty");
    for (std::size_t i = 0; i < n; ++i) {
        construct_once(10000.0 + static_cast<double>(i & 7U));
    }
    CALLGRIND_DUMP_STATS_AT("model/construct");
    for (std::size_t i = 0; i < n; ++i) {
        setup_once(v, i);
    }
    CALLGRIND_DUMP_STATS_AT("model/setup");
    veltrum::model::setup(v, 12.0, true);
    CALLGRIND_ZERO_STATS;
    for (std::size_t i = 0; i < n; ++i) {
        compute_once(v, i);
    }
    CALLGRIND_DUMP_STATS_AT("model/compute");
    return 0;
#else
    (void)n;
    std::fputs("built without valgrind/callgrind.h\n", stderr);
    return 1;
#endif
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--instructions") == 0) {
        return count_instructions(argc >= 3 ? static_cast<std::size_t>(std::atol(argv[2])) : 4096);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
