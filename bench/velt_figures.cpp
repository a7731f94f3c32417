// The figures that are not instruction counts, each a subcommand:
//   velt_figures startup [runs]                      kernel time from START to both children's
//                                                    HID stacks running, the address query's share
//   velt_figures footprint [reports]                 pool per controller by tag, and the driver's
//                                                    allocations per input report
//   velt_figures paced [seconds] [rate] [controllers]
//                                                    input reports paced at `rate` per second and
//                                                    controller: lost and reordered on each child
// Kernel time is the host's clock; startup and paced run it at real time (scale 1).
#include "world.h"

#include "core/driver.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>

namespace {

constexpr LONGLONG KernelUnitsPerSecond = 10'000'000;
// The FDO's START line as the log keeps it, without its line end.
constexpr char StartLine[] = "VELTDRIVER :       DispatchPnp: START_DEVICE ";

double Milliseconds(LONGLONG units) {
    return static_cast<double>(units) / 10'000.0;
}

// One start-up at real time: START as the FDO logs it, the address query from its on command to
// its off command as the controller receives them, and both children's HID stacks running.
bool StartupOnce() {
    bench::World world;
    if (!world.Boot(1)) {
        return false;
    }
    std::atomic<LONGLONG> startAt{0};
    host::SetLogObserver([&](const host::LogLine& line) {
        if (line.text == StartLine) {
            startAt = line.time;
        }
    });
    LONGLONG onAt = 0;
    LONGLONG offAt = 0;
    LONGLONG runningAt = 0;
    std::thread poller;
    bool plugged = world.PlugDriverController([&](const bench::Path& path) {
        const sim::usb::UsbDevice* usb = path.usb.get();
        poller = std::thread([&, usb] {
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (runningAt == 0 && std::chrono::steady_clock::now() < deadline) {
                LONGLONG now = host::KernelTime();
                bool on = usb->AddressQueryOn();
                if (on && onAt == 0) {
                    onAt = now;
                } else if (!on && onAt != 0 && offAt == 0) {
                    offAt = now;
                }
                std::vector<std::shared_ptr<sim::hid::HidDevice>> hids = sim::hid::HidDevices();
                size_t running = std::count_if(hids.begin(), hids.end(), [](const auto& hid) {
                    return hid->State() == sim::hid::HidState::Running;
                });
                if (running == 2) {
                    runningAt = now;
                }
                std::this_thread::yield();
            }
        });
    });
    if (poller.joinable()) {
        poller.join();
    }
    host::SetLogObserver(nullptr);
    bool clean = world.Dismantle();
    if (!plugged || !clean || startAt == 0 || onAt == 0 || offAt == 0 || runningAt == 0) {
        std::fprintf(stderr, "start-up not observed: START %lld, on %lld, off %lld, running %lld\n",
                     static_cast<long long>(startAt.load()), static_cast<long long>(onAt),
                     static_cast<long long>(offAt), static_cast<long long>(runningAt));
        return false;
    }
    LONGLONG total = runningAt - startAt;
    LONGLONG query = offAt - onAt;
    std::printf("START to both HID stacks running: %8.1f ms   address query: %8.1f ms (%.1f%%)\n",
                Milliseconds(total), Milliseconds(query),
                100.0 * static_cast<double>(query) / static_cast<double>(total));
    return true;
}

int Startup(int runs) {
    for (int i = 0; i < runs; ++i) {
        if (!StartupOnce()) {
            return 1;
        }
    }
    return 0;
}

// The pool by tag with `controllers` controllers at steady state: every read pending, some
// reports streamed.
bool PoolAtSteadyState(size_t controllers, std::map<std::string, host::PoolUsage>* byTag) {
    bench::World world;
    if (!world.Assemble(controllers)) {
        world.Dismantle();
        return false;
    }
    bool ok = true;
    for (unsigned i = 0; i < 64 && ok; ++i) {
        ok = bench::InputReport(world.Driver(i % controllers), bench::SampleInput(i));
    }
    for (const host::PoolUsage& usage : host::PoolOutstanding()) {
        (*byTag)[usage.tag] = usage;
    }
    return world.Dismantle() && ok;
}

// The pool with one and with four controllers, and what each controller beyond the first adds:
// the driver-wide part (the work-item lookaside's cached entries) is in the first alone.
bool PoolPerController() {
    constexpr size_t Many = 4;
    std::map<std::string, host::PoolUsage> one;
    std::map<std::string, host::PoolUsage> many;
    if (!PoolAtSteadyState(1, &one) || !PoolAtSteadyState(Many, &many)) {
        return false;
    }
    std::printf("pool at steady state, bytes (allocations)   1 controller   %zu controllers   "
                "per controller\n",
                Many);
    size_t total[2] = {0, 0}; // non-paged, paged: per controller
    for (const auto& [tag, usage] : many) {
        const host::PoolUsage& first = one[tag];
        size_t added = (usage.bytes - first.bytes) / (Many - 1);
        size_t addedAllocations = (usage.allocations - first.allocations) / (Many - 1);
        bool paged = usage.pagedBytes != 0;
        std::printf("  %-4s %-9s %26zu (%zu) %13zu (%zu) %12zu (%zu)\n", tag.c_str(),
                    paged ? "paged" : "non-paged", first.bytes, first.allocations, usage.bytes,
                    usage.allocations, added, addedAllocations);
        total[paged ? 1 : 0] += added;
    }
    std::printf("  per controller: %zu bytes non-paged, %zu bytes paged\n", total[0], total[1]);
    return true;
}

// The calls of the driver's own code to the allocating kernel routines over `reports` input
// reports, per report.
bool AllocationsPerReport(unsigned long reports) {
    bench::World world;
    if (!world.Assemble(1)) {
        world.Dismantle();
        return false;
    }
    host::CountCallsOf(DriverEntry);
    const std::pair<host::Alloc, const char*> kinds[] = {
        {host::Alloc::Pool, "pool"},
        {host::Alloc::Irp, "IoAllocateIrp"},
        {host::Alloc::BuildIoctl, "IoBuildDeviceIoControlRequest"},
        {host::Alloc::Lookaside, "lookaside"},
        {host::Alloc::Mdl, "IoAllocateMdl"},
    };
    std::map<host::Alloc, unsigned> before;
    for (const auto& kind : kinds) {
        before[kind.first] = host::CallCount(kind.first);
    }
    size_t poolBefore = host::PoolBytesOutstanding();
    bool ok = true;
    for (unsigned long i = 0; i < reports && ok; ++i) {
        ok = bench::InputReport(world.Driver(), bench::SampleInput(static_cast<unsigned>(i)));
    }
    std::printf("the driver's allocating calls per input report, over %lu reports:\n", reports);
    for (const auto& kind : kinds) {
        std::printf("  %-30s %.3f\n", kind.second,
                    static_cast<double>(host::CallCount(kind.first) - before[kind.first]) /
                        static_cast<double>(reports));
    }
    std::printf("  pool outstanding before and after: %zu and %zu bytes\n", poolBefore,
                host::PoolBytesOutstanding());
    return world.Dismantle() && ok;
}

int Footprint(unsigned long reports) {
    bool ok = PoolPerController() && AllocationsPerReport(reports);
    return ok ? 0 : 1;
}

// What one child's HID stack received of a paced stream.
struct ChildTally {
    uint64_t received = 0;
    uint64_t reordered = 0; // reports older than one received before them
    long long last = -1;
};

int Paced(double seconds, unsigned long rate, size_t controllers) {
    bench::World world;
    if (!world.Assemble(controllers, 1)) {
        world.Dismantle();
        return 1;
    }
    const LONGLONG period = KernelUnitsPerSecond / static_cast<LONGLONG>(rate);
    const LONGLONG length = static_cast<LONGLONG>(seconds * KernelUnitsPerSecond);
    std::vector<ChildTally> tallies(2 * controllers);
    std::atomic<bool> pacing{true};
    std::atomic<uint64_t> sent{0};

    // Drains every child's HID stack as its reader would.
    auto drain = [&] {
        for (size_t c = 0; c < controllers; ++c) {
            bench::Path& path = world.Driver(c);
            size_t which = 0;
            for (const auto& hid : {path.gamepad, path.vendor}) {
                ChildTally& tally = tallies[2 * c + which++];
                while (hid->QueuedInputReports() != 0) {
                    std::optional<bench::Bytes> report = hid->ReadInput(0);
                    if (!report) {
                        break;
                    }
                    long long sequence = bench::SequenceOf(*report);
                    tally.reordered += sequence < tally.last ? 1 : 0;
                    tally.last = std::max(tally.last, sequence);
                    tally.received++;
                }
            }
        }
    };
    std::thread reader([&] {
        while (pacing) {
            drain();
            std::this_thread::yield();
        }
    });

    size_t mostWaiting = 0;
    unsigned sequence = 0;
    LONGLONG start = host::KernelTime();
    LONGLONG due = start;
    for (LONGLONG now = start; now < start + length; now = host::KernelTime()) {
        for (; due <= now; due += period, ++sequence) {
            for (size_t c = 0; c < controllers; ++c) {
                world.Driver(c).usb->SendInputReport(bench::SampleInput(sequence));
                sent++;
            }
        }
        for (size_t c = 0; c < controllers; ++c) {
            mostWaiting = std::max(mostWaiting, world.Driver(c).usb->QueuedInputReports());
        }
        std::this_thread::yield();
    }
    LONGLONG paced = host::KernelTime() - start;
    pacing = false;
    reader.join();

    // What is still on its way arrives within the next seconds, or is lost.
    auto received = [&] {
        uint64_t total = 0;
        for (const ChildTally& tally : tallies) {
            total += tally.received;
        }
        return total;
    };
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (received() < sent && std::chrono::steady_clock::now() < deadline) {
        drain();
        std::this_thread::yield();
    }
    uint64_t lost = sent - received();
    std::printf("%zu controller(s) at %lu reports/s each for %.2f s of kernel time: %llu sent "
                "(%.0f/s per controller), %llu lost, at most %zu waiting at a controller\n",
                controllers, rate, static_cast<double>(paced) / KernelUnitsPerSecond,
                static_cast<unsigned long long>(sent.load()),
                static_cast<double>(sent.load()) / static_cast<double>(controllers) /
                    (static_cast<double>(paced) / KernelUnitsPerSecond),
                static_cast<unsigned long long>(lost), mostWaiting);
    for (size_t i = 0; i < tallies.size(); ++i) {
        std::printf("  controller %zu %-7s child: %llu received, %llu reordered\n", i / 2,
                    i % 2 == 0 ? "gamepad" : "vendor",
                    static_cast<unsigned long long>(tallies[i].received),
                    static_cast<unsigned long long>(tallies[i].reordered));
    }
    bool clean = world.Dismantle();
    return clean && lost == 0 ? 0 : 1;
}

int Usage(const char* program) {
    std::fprintf(stderr,
                 "usage: %s startup [runs]\n"
                 "       %s footprint [reports]\n"
                 "       %s paced [seconds] [rate] [controllers]\n",
                 program, program, program);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return Usage(argv[0]);
    }
    auto number = [&](int index, double fallback) {
        return argc > index ? std::strtod(argv[index], nullptr) : fallback;
    };
    if (std::strcmp(argv[1], "startup") == 0) {
        return Startup(static_cast<int>(number(2, 3)));
    }
    if (std::strcmp(argv[1], "footprint") == 0) {
        return Footprint(static_cast<unsigned long>(number(2, 1000)));
    }
    if (std::strcmp(argv[1], "paced") == 0) {
        double seconds = number(2, 3);
        auto rate = static_cast<unsigned long>(number(3, 8000));
        auto controllers = static_cast<size_t>(number(4, 1));
        if (seconds <= 0 || rate == 0 || controllers == 0) {
            return Usage(argv[0]);
        }
        return Paced(seconds, rate, controllers);
    }
    return Usage(argv[0]);
}
