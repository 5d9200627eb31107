// The sequence runner: walks the command list by order number, one command in
// flight, judging each answer and starting the next entry from the previous
// command's completion. The pause between entries runs as a timer so that a
// pool worker is never put to sleep.

#include "io/ComPort.h"
#include "logging/ILogInterface.h"
#include "modem/GenericCOMModemInterface.h"

void GenericCOMModemInterface::StartSequence() {
    m_bSequenceStopped = false;
}

void GenericCOMModemInterface::StopSequence() {
    m_bSequenceStopped = true;
    m_SequenceDelay.Cancel();
}

bool GenericCOMModemInterface::IsSequenceStopped() {
    return m_bSequenceStopped.load();
}

void GenericCOMModemInterface::ScheduleSequenceStep(unsigned delayMs, std::function<void()> fn) {
    if (m_bSequenceStopped.load()) return;
    Quiescence* gate = m_pPort ? &m_pPort->Gate() : nullptr;
    if (gate != nullptr && !gate->TryEnter()) return;  // the port is closing
    auto step = [this, fn, gate](bool run) {
        if (run && !m_bSequenceStopped.load()) fn();
        if (gate != nullptr) gate->Leave();
    };
    if (m_SequenceDelay.Schedule(m_pPool, delayMs, step)) return;
    // No timer to be had (no pool): go on at once rather than stall the line.
    step(true);
}

int GenericCOMModemInterface::ExecuteNextCMD(int order, int sequenceEnd) {
    if (sequenceEnd != 0) m_nSequenceEnd = sequenceEnd;
    ScheduleSequenceStep(kCommandPauseMs, [this, order] { RunNextCMD(order); });
    return 1;
}

void GenericCOMModemInterface::RunNextCMD(int order) {
    ATCommandEntry* entry = FindCMD(order + 1, m_nSequenceEnd);
    if (!entry) {
        InitComplete(QV_OK, order + 1);
    } else {
        DeviceExecuteCMD(entry);
    }
}

ATCommandEntry* GenericCOMModemInterface::FindCMD(int fromOrder, int toOrder) {
    for (int n = fromOrder; n <= toOrder; ++n) {
        for (ATCommandEntry& entry : m_CommandList) {
            if (entry.order == n) return &entry;
        }
    }
    return nullptr;
}

void GenericCOMModemInterface::DeviceExecuteCMD(ATCommandEntry* entry) {
    if (!entry) return;
    int status = QV_PENDING;
    if (!entry->activated) {
        m_pLog->LogWarning(
            "GenericCOMModemInterface::DeviceExecuteCMD: CMD Decavtivated , skipping: [%s] "
            "order: [%d].",
            entry->command, entry->order);
        status = QV_OK;
    } else {
        ResetResponseSpecs();
        if (m_pPort) m_pPort->ClearRecvBuffer();
        if (!IssueGenericCMD(true, entry->command, entry->timeout, entry->order, OnSequenceResult,
                             entry)) {
            m_pLog->LogWarning(
                "GenericCOMModemInterface::DeviceExecuteCMD: Failed to Issue WriteIO for CMD: "
                "[%s] order: [%d].",
                entry->command, entry->order);
            status = QV_OK;
            if (entry->critical) {
                m_pLog->LogError(
                    "GSMDevice::ModemInitProcess: Command is labled as CRITICAL, failing "
                    "initialization process.");
                status = QV_IOWRITEERROR;
            }
        }
    }
    if (status == QV_OK) {
        ExecuteNextCMD(entry->order, 0);
    } else if (status != QV_PENDING) {
        InitComplete(status, entry->order);
    }
}

int GenericCOMModemInterface::OnSequenceResult(int order, int flag, int result,
                                               GenericCOMModemInterface* modem, int kind,
                                               void* entry) {
    (void)flag;
    (void)kind;
    if (!modem || modem->IsSequenceStopped()) return 0;  // the line was closed meanwhile
    if (modem->ProcessCMDResult(static_cast<ATCommandEntry*>(entry), result)) {
        modem->ExecuteNextCMD(order, 0);
    }
    return 0;
}

int GenericCOMModemInterface::ProcessCMDResult(ATCommandEntry* entry, int code) {
    if (!entry) return 1;  // an alternative's completion: go on whatever it said
    int status = QV_OK;
    if (code != QV_OK) {
        if (entry->hasAlternative) {
            m_pLog->LogError("CMD [%s] failed, %s , qverc: [%d] , Attempting alternative: '%s'",
                             entry->command, GetErrorText(code), code, entry->alternative);
            entry->hasAlternative = 0;
            ResetResponseSpecs();
            if (m_pPort) m_pPort->ClearRecvBuffer();
            if (IssueGenericCMD(true, entry->alternative, entry->timeout, entry->order,
                                OnSequenceResult, nullptr)) {
                status = QV_PENDING;
            } else {
                m_pLog->LogError("Failed to Issue WriteIO for CMD: [%s] Order: [%d].",
                                 entry->alternative, entry->order);
                if (entry->critical) {
                    m_pLog->LogError(
                        "Error. %s (qverc: %d), CMD labled as CRITICAL Failed, Aborting Init "
                        "Process. CMD: [%s] order: [%d]",
                        GetErrorText(code), code, entry->command, entry->order);
                    status = QV_IOWRITEERROR;
                } else {
                    m_pLog->LogError("Error. (qverc: %d), Skipping CMD: [%s] order: [%d]", code,
                                     entry->command, entry->order);
                    status = QV_OK;
                }
            }
        } else if (entry->critical) {
            m_pLog->LogError(
                "Error. (qverc: %d), CMD labled as CRITICAL Failed, Aborting Init Process. CMD: "
                "[%s] order: [%d]",
                code, entry->command, entry->order);
            status = code;
        } else {
            m_pLog->LogError("Error. (qverc: %d), Skipping CMD: [%s] order: [%d]", code,
                             entry->command, entry->order);
            status = QV_OK;
        }
    } else if (entry->check) {
        int r = entry->check(QV_OK, entry);
        if (r == QV_PENDING) {
            status = QV_PENDING;
        } else if (r != QV_OK) {
            return ProcessCMDResult(entry, r);
        }
    } else if (!m_OKSpec.m_bTriggered) {
        return ProcessCMDResult(entry, QV_INVALIDRESPONSE);
    }

    if (status == QV_OK) return 1;
    if (status == QV_PENDING) return 0;
    InitComplete(code, entry->order);
    return 0;
}
