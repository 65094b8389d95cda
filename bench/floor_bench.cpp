// floor_bench.cpp
//
// The floors an emulated run is measured against: what Unicorn alone costs
// for a guest program the size of the driver's run, and what the host's own
// file calls cost for the file work that run asks for. Nothing of ours runs
// in either, so no change of ours can make a run cheaper than their sum.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unicorn/unicorn.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/disk_state.h"

namespace {

using namespace quarnhold;

constexpr uint32_t CodeAddress = 0x80A00000;
constexpr uint32_t TrapAddress = 0x80010000;
constexpr uint32_t StackTop = 0x80203000;
constexpr uint32_t EndAddress = TrapAddress + 0xF00;
// A run of the driver's image executes 155 instructions and calls the kernel.
constexpr unsigned ProgramInstructions = 155;
constexpr unsigned TrapCalls = 4;

void Check(uc_err error)
{
    if (error != UC_ERR_OK) throw std::runtime_error(uc_strerror(error));
}

// Straight-line i386 code of ProgramInstructions instructions in all, the
// trap stubs' returns included: filler, with TrapCalls calls spread through
// it, each pushing one argument for a stdcall stub that pops it, and a
// final ret to EndAddress.
std::vector<uint8_t> BareProgram()
{
    const unsigned perCall = 3;  // push, call, the stub's ret
    const unsigned filler = ProgramInstructions - TrapCalls * perCall - 1;
    std::vector<uint8_t> code;
    for (unsigned i = 0; i < filler; ++i) {
        code.push_back(0x41);  // inc ecx
        if ((i + 1) % (filler / TrapCalls) == 0 && i / (filler / TrapCalls) < TrapCalls) {
            code.insert(code.end(), {0x6A, 0x01});  // push 1
            uint32_t from = CodeAddress + static_cast<uint32_t>(code.size()) + 5;
            uint32_t rel = TrapAddress - from;
            code.push_back(0xE8);  // call rel32
            for (int b = 0; b < 4; ++b) code.push_back(static_cast<uint8_t>(rel >> (8 * b)));
        }
    }
    code.push_back(0xC3);  // ret
    return code;
}

// A trap as cheap as one can be: read the argument, answer in EAX.
void Trap(uc_engine* uc, uint64_t, uint32_t, void*)
{
    uint32_t esp = 0, argument = 0, status = 0;
    uc_reg_read(uc, UC_X86_REG_ESP, &esp);
    uc_mem_read(uc, esp + 4, &argument, sizeof(argument));
    uc_reg_write(uc, UC_X86_REG_EAX, &status);
}

// Unicorn alone, loaded once and run over and over, as a loaded image is:
// the same instruction count and calls as a driver run, no model, no disk.
void UnicornFloor(benchmark::State& state)
{
    uc_engine* uc = nullptr;
    Check(uc_open(UC_ARCH_X86, UC_MODE_32, &uc));
    const std::vector<uint8_t> code = BareProgram();
    Check(uc_mem_map(uc, CodeAddress, 0x1000, UC_PROT_READ | UC_PROT_EXEC));
    Check(uc_mem_write(uc, CodeAddress, code.data(), code.size()));
    const uint8_t stub[] = {0xC2, 0x04, 0x00};  // ret 4
    Check(uc_mem_map(uc, TrapAddress, 0x1000, UC_PROT_READ | UC_PROT_EXEC));
    Check(uc_mem_write(uc, TrapAddress, stub, sizeof(stub)));
    Check(uc_mem_map(uc, StackTop - 0x3000, 0x3000, UC_PROT_READ | UC_PROT_WRITE));
    uc_hook trap;
    Check(uc_hook_add(uc, &trap, UC_HOOK_CODE, reinterpret_cast<void*>(&Trap), nullptr, TrapAddress, TrapAddress));

    // Count once what a run executes, so the figure is known to be like for like.
    uint64_t executed = 0;
    uc_hook counter;
    auto count = +[](uc_engine*, uint64_t, uint32_t, void* user) { ++*static_cast<uint64_t*>(user); };
    Check(uc_hook_add(uc, &counter, UC_HOOK_CODE, reinterpret_cast<void*>(count), &executed, 1, 0));

    const uint32_t esp = StackTop - 4;
    auto run = [&] {
        uint32_t top = esp, end = EndAddress;
        uc_mem_write(uc, top, &end, sizeof(end));
        uc_reg_write(uc, UC_X86_REG_ESP, &top);
        Check(uc_emu_start(uc, CodeAddress, EndAddress, 0, 0));
    };
    run();
    Check(uc_hook_del(uc, counter));
    if (executed != ProgramInstructions) {
        state.SkipWithError(("the bare program ran " + std::to_string(executed) + " instructions").c_str());
    }
    for (auto _ : state) {
        run();
    }
    state.counters["guest_instructions"] = static_cast<double>(executed);
    uc_close(uc);
}
BENCHMARK(UnicornFloor)->Unit(benchmark::kMicrosecond);

// The host's file calls for a second start, the work EmulatedRunLoaded's
// model does on its scratch drive C: open the directory, fail to create
// test.txt exclusively, open it for writing, write 20 bytes at 0, close.
void HostFileFloor(benchmark::State& state)
{
    tests::ScratchFolder folder;
    tests::LayDown(folder.path(), {tests::Directory("Quarnhold"), tests::File("Quarnhold/test.txt", "")});
    const int root = open(folder.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const char text[20] = {};
    for (auto _ : state) {
        int directory = openat(root, "Quarnhold", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        int refused = openat(directory, "test.txt", O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        int file = openat(directory, "test.txt", O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
        benchmark::DoNotOptimize(pwrite(file, text, sizeof(text), 0));
        close(file);
        close(directory);
        if (refused >= 0 || directory < 0 || file < 0) state.SkipWithError("the scratch drive C is not as laid down");
    }
    close(root);
}
BENCHMARK(HostFileFloor)->Unit(benchmark::kMicrosecond);

}  // namespace
