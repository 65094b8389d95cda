// comparison.cpp

#include "real_kernel/comparison.h"

namespace quarnhold::real_kernel {
namespace {

// The part of the two answers that differs, in words.
std::string WhatDiffers(const Answer& reactos, const Answer& model)
{
    if (reactos.stop) {
        return "ReactOS stopped while the driver ran: '" + *reactos.stop + "'" +
               (model.messages.starts_with(reactos.messages) ? "" : ", and the messages before it differ");
    }
    std::string parts;
    auto add = [&](const char* part) { parts += parts.empty() ? part : std::string(", ") + part; };
    if (reactos.messages != model.messages) add("the messages");
    if (reactos.status != model.status) add("DriverEntry's status");
    if (reactos.disk != model.disk) add("the disk afterwards");
    if (reactos.script != model.script) add("the install script's outcome");
    return parts + " differ";
}

// ReactOS's answer as the known difference records it.
Answer RecordedAnswer(const KnownDifference& known, const Answer& model, const Answer& reactos)
{
    Answer recorded = model;
    recorded.messages = known.reactosMessages;
    if (known.reactosDisk) recorded.disk = known.reactosDisk;
    if (known.reactosScript) recorded.script = known.reactosScript;
    if (known.reactosStop) {
        recorded.stop = known.reactosStop;
        recorded.status = std::nullopt;
        recorded.disk = reactos.disk;
    }
    return recorded;
}

}  // namespace

Judgement Judge(const Answer& reactos, const Answer& model, const KnownDifference* known)
{
    if (known == nullptr) {
        if (reactos == model) return {Verdict::Agrees, ""};
        return {Verdict::Differs, WhatDiffers(reactos, model)};
    }
    const bool asRecorded = reactos == RecordedAnswer(*known, model, reactos);
    if (known->kind == DifferenceKind::RefereeDiffersFromWindows) {
        // The model must keep Windows' answer: meeting ReactOS's is a fault.
        if (reactos == model) {
            return {Verdict::Differs,
                    "the model now gives ReactOS's answer, which differs from Windows': " + known->evidence};
        }
        if (asRecorded) return {Verdict::KnownDifference, known->what + " (" + known->evidence + ")"};
        return {Verdict::Differs, WhatDiffers(reactos, model) + ", and not as recorded: " + known->what};
    }
    if (reactos == model) {
        return {Verdict::KnownDifferenceGone, "the model now agrees; the recorded difference can go: " + known->what};
    }
    if (asRecorded) return {Verdict::KnownDifference, known->what + " (" + known->evidence + ")"};
    return {Verdict::Differs, WhatDiffers(reactos, model) + ", and not as recorded: " + known->what};
}

bool Passes(Verdict verdict)
{
    return verdict != Verdict::Differs;
}

}  // namespace quarnhold::real_kernel
