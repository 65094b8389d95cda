// isolated_image_runner.cpp

#include "isolation/isolated_image_runner.h"

#include "emulator/hex_text.h"
#include "isolation/run_wire.h"
#include "testbed/test_bed_error.h"

namespace quarnhold::isolation {

IsolatedImageRunner::IsolatedImageRunner(emulator::DriverImageRunner& image, std::chrono::milliseconds runTimeout)
    : image_(image),
      trail_(std::make_unique<SharedRecord<emulator::GuestTrail>>()),
      worker_(
          [&image, trail = trail_->get()](std::string_view request) {
              // In the worker: the runner it inherited leaves its trail in
              // the shared memory.
              image.KeepTrail(*trail);
              const fault_sweep::RunSetup setup = DecodeRunSetup(request);
              std::optional<testbed::KernelModel> model;
              try {
                  model.emplace(fault_sweep::MakeModel(setup));
              } catch (const testbed::TestBedError& failure) {
                  // The host refused the model its drive C: the run's
                  // outcome, as it would be in this process.
                  fault_sweep::RunOutcome refused;
                  refused.testBedError = failure.what();
                  return EncodeRunOutcome(refused);
              }
              fault_sweep::RunOutcome outcome = fault_sweep::RunEmulated(*model, image);
              // Here, while the model still holds the files the run wrote.
              fault_sweep::ReadBackWritten(*model, setup, outcome);
              return EncodeRunOutcome(outcome);
          },
          runTimeout)
{
}

IsolatedImageRunner::~IsolatedImageRunner() = default;

fault_sweep::RunOutcome IsolatedImageRunner::Run(const fault_sweep::RunSetup& setup)
{
    // The worker is idle between runs, so the trail can be reset here; a
    // worker that dies before the run starts then leaves the entry point.
    **trail_ = emulator::GuestTrail{};
    (*trail_)->lastAddress = image_.EntryPoint();

    std::variant<std::string, WorkerEnd> answer = worker_.Ask(EncodeRunSetup(setup));
    if (const std::string* bytes = std::get_if<std::string>(&answer)) {
        return DecodeRunOutcome(*bytes);
    }
    return OutcomeOfWorkerEnd(std::get<WorkerEnd>(answer), **trail_, image_.ImageBase());
}

fault_sweep::RunOutcome OutcomeOfWorkerEnd(const WorkerEnd& end, const emulator::GuestTrail& trail, uint32_t imageBase)
{
    fault_sweep::RunOutcome outcome;
    // Someone outside ended the worker: the host's doing, not the driver's.
    if (end.killedFromOutside) {
        outcome.testBedError = "test-bed error: the worker " + end.how +
                               " during the run, so the run says nothing of the driver (last guest address " +
                               emulator::Hex(trail.lastAddress, 8) + ")";
        return outcome;
    }
    emulator::ImageRunResult result;
    result.imageBase = imageBase;
    result.fault = WorkerEndFault(end, trail);
    result.stats.instructions = trail.instructions;
    outcome.fault = emulator::DescribeGuestFault(*result.fault);
    outcome.emulated = std::move(result);
    outcome.recordLost = true;
    return outcome;
}

fault_sweep::DriverRunner IsolatedImageRunner::AsDriverRunner()
{
    return [this](const fault_sweep::RunSetup& setup) { return Run(setup); };
}

emulator::GuestFault WorkerEndFault(const WorkerEnd& end, const emulator::GuestTrail& trail)
{
    std::string what = "the emulator " + end.how;
    if (!end.lastWords.empty()) what += ", saying \"" + end.lastWords + "\"";
    emulator::GuestFault fault{what, trail.lastAddress, trail.LastKernelCall()};
    fault.lastCallReturnAddress = trail.LastCallReturnAddress();
    return fault;
}

}  // namespace quarnhold::isolation
