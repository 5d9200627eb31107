// Sending: one attempt of a send job on this line, part by part:
// "AT+CMGS=<length>", the ">" prompt, the PDU with Ctrl-Z, "OK".
//
// Every attempt ends exactly once: in SendComplete, or in AbortSending when
// the line is closed under it. Both take the job out of m_pSendingJob; the
// one that gets it ends the job. Every step runs inside the port's gate and
// AbortSending only once the gate has drained, so an abort never frees the
// job's data under a running step.
#include <cstdio>
#include <exception>
#include <new>
#include <string>

#include "gsm/GSMDevice.h"
#include "gsm/SendFailure.h"
#include "io/ComPort.h"
#include "io/ThreadPool.h"
#include "logging/ILogInterface.h"
#include "pdu/PDUCodec.h"

namespace {

const char* SendErrorText(int result) {
    switch (result) {
        case QV_TIMEOUT:
            return "GSM Modem failed to respond...(timeout)";
        case QV_GENERICERROR:
            return "Generic Error";
        case QV_IOWRITEERROR:
            return "IO Write Error";
        case QV_IOREADERROR:
            return "IO Read Error";
        case QV_INVALIDRESPONSE:
            return "Invalid Modem Response";
        default:
            return "Unknown Error,";
    }
}

const char* SendPhaseText(int phase) {
    switch (phase) {
        case 1:
            return "SendSMSPhaseA";
        case 2:
            return "SendSMSPhaseB";
        case 3:
            return "SendSMSPhaseD";
        default:
            return "";
    }
}

SMSSendData* SendDataOf(SMSJob* job) {
    return job != nullptr ? static_cast<SMSSendData*>(job->SendData) : nullptr;
}

}  // namespace

int GSMDevice::SendSMS(SMSJob* job) {
    // The whole attempt start, and the receive pass it may run, is work of
    // the port: a close waits for it instead of freeing what it uses.
    ComPort* port = GetPort();
    Quiescence::Token inside = port ? port->Gate().Enter() : Quiescence::Token();
    if (!inside) return 0;
    if (!IsInitialized() || job == nullptr || !m_bCanSend || !m_Config.CanSend) return 0;
    if (job->International && !m_Config.SupportsInternationalNumbers) return 0;
    if (!AcquireLine(LINE_SENDING, "(1)SendSMS")) return 0;

    m_pDeviceLog->LogInfo("Sending SMS on COM%d (International: %d)... (TRYS: %d/%d)",
                          m_Config.ComPortNumber, job->International,
                          static_cast<int>(job->Tries + 1),
                          static_cast<int>(m_Config.SendRetryCount));
    job->Device = this;
    m_pSendingJob.store(job);
    if (!StartSendingProcess(job)) {
        m_pSendingJob.store(nullptr);
        SetLineState(LINE_IDLE, "(2)SendSMS");
        m_pDeviceLog->LogError("GSMDevice::SendSMS - Failed to start sending process.");
        // A notification may have been queued while the line was ours.
        if (HasPendingRecvWork() && AcquireLine(LINE_RECEIVING, "PreProccessRecvSMS")) {
            ProcessReceivedSMSParts();
        }
        return 0;
    }
    return 1;
}

bool GSMDevice::StartSendingProcess(SMSJob* job) {
    if (job == nullptr) {
        m_pDeviceLog->LogError("GSMDevice::StartSendingProcess - Invalid SMS Data.");
        return false;
    }
    SMSSendData* data = SendDataOf(job);
    if (data == nullptr) {
        m_pDeviceLog->LogError("GSMDevice::StartSendingProcess - Invalid PDU Format.");
        return false;
    }
    try {
        PDUCodec codec;
        data->pdus = codec.EncodeSubmit(data->message, m_Config.StatusReportsEnabled);
    } catch (const std::exception& e) {
        m_pDeviceLog->LogError("GSMDevice::StartSendingProcess - encoding failed (%s).", e.what());
        return false;
    }
    data->currentPart = 0;
    data->reportJob = m_Config.StatusReportsEnabled ? m_SentParts.NewJob() : 0;
    m_pDeviceLog->LogInfo("SMS will require %d SMS(s) to send",
                          static_cast<int>(data->pdus.size()));
    SendSMSPhaseA(job);
    return true;
}

void GSMDevice::SendSMSPhaseA(SMSJob* job) {
    if (SendDataOf(job) == nullptr) {
        m_pDeviceLog->LogError("GSMDevice::SendSMSPhaseA - Invalid Parameters.");
        return;
    }
    int r = SendMessagePiece(job);
    if (r == QV_PENDING) return;
    SendComplete(r == 0 ? QV_OK : QV_GENERICERROR, 1, job);
}

int GSMDevice::SendMessagePiece(SMSJob* job) {
    SMSSendData* data = SendDataOf(job);
    if (data == nullptr) {
        m_pDeviceLog->LogError("GSMDevice::SendMessagePiece - Invalid Parameters.");
        return 1;
    }
    if (data->currentPart >= data->pdus.size()) return 0;
    m_pDeviceLog->LogInfo("Sending SMS: %d of %d", static_cast<int>(data->currentPart + 1),
                          static_cast<int>(data->pdus.size()));

    // The service-centre length octet in front is not counted.
    size_t octets = data->pdus[data->currentPart].size() / 2;
    int length = octets > 0 ? static_cast<int>(octets - 1) : 0;
    char command[32];
    std::snprintf(command, sizeof(command), "AT+CMGS=%d", length);
    // The prompt ends this command; an error line ends it at once too.
    if (IssueCommand(command, kPromptTimeoutSec, true, [this, job](const ATOutcome& outcome) {
            OnSendAnswer(job, 2, outcome);
        }) != QV_PENDING) {
        m_pDeviceLog->LogError("GSMDevice::SendMessagePiece - failed to queue 'CMGS' cmd. ");
        return 1;
    }
    return QV_PENDING;
}

void GSMDevice::OnSendAnswer(SMSJob* job, int stage, const ATOutcome& outcome) {
    // Ended by a close meanwhile: the job is no longer this line's to touch.
    if (job == nullptr || m_pSendingJob.load() != job) return;
    if (outcome.result != QV_OK) {
        if (outcome.result == QV_TIMEOUT) {
            // The modem may sit in PDU entry: cancel it before the line goes on.
            const int result = outcome.result;
            CancelPduEntry([this, job, result, stage] { SendComplete(result, stage, job); });
            return;
        }
        SendComplete(outcome.result, stage, job);
    } else if (stage == 2 && outcome.prompt) {
        SendSMSPhaseB(job);
    } else if (stage == 3 && outcome.Ok()) {
        RecordSentPart(job, outcome);
        m_bPduEntry = false;
        SendSMSPhaseD(job);
    } else if (outcome.IsError()) {
        m_bPduEntry = false;
        const SendFailureCause cause = ClassifySendError(outcome);
        m_pDeviceLog->LogError("GSMDevice::SendProcess - modem refused the message: %s (%s)",
                               outcome.errorCode >= 0 ? std::to_string(outcome.errorCode).c_str()
                                                      : outcome.errorText.c_str(),
                               cause.meaning);
        SendComplete(QV_INVALIDRESPONSE, stage, job, cause.kind);
    } else {
        m_pDeviceLog->LogError("GSMDevice::SendProcess - Unexpected Invalid Modem Response.");
        SendComplete(QV_INVALIDRESPONSE, stage, job);
    }
}

void GSMDevice::CancelPduEntry(std::function<void()> then) {
    m_bPduEntry = false;
    m_pDeviceLog->LogWarning("GSMDevice::CancelPduEntry - ESC sent.");
    // In PDU entry the modem answers the escape; otherwise nothing comes and
    // the short wait says the line is clear for the next command.
    if (IssueCommand("\x1B", kEscTimeoutSec, false, [then](const ATOutcome&) { then(); }) !=
        QV_PENDING) {
        then();
    }
}

void GSMDevice::SendSMSPhaseB(SMSJob* job) {
    SMSSendData* data = SendDataOf(job);
    if (data == nullptr || data->currentPart >= data->pdus.size()) {
        m_pDeviceLog->LogError("GSMDevice::SendSMSPhaseB - Invalid Parameters.");
        return;
    }
    std::string& pdu = data->pdus[data->currentPart];
    pdu.push_back('\x1A');
    m_bPduEntry = true;
    if (IssueCommand(pdu.c_str(), kPduResultTimeoutSec, false,
                     [this, job](const ATOutcome& outcome) { OnSendAnswer(job, 3, outcome); }) !=
        QV_PENDING) {
        m_pDeviceLog->LogError("GSMDevice::SendSMSPhaseB - failed to send SMS data. ");
        SendComplete(QV_GENERICERROR, 2, job);
    }
}

void GSMDevice::SendSMSPhaseD(SMSJob* job) {
    SMSSendData* data = SendDataOf(job);
    if (data == nullptr) {
        m_pDeviceLog->LogError("GSMDevice::SendSMSPhaseD - Invalid Parameters.");
        return;
    }
    data->currentPart++;
    SendSMSPhaseA(job);
}

void GSMDevice::SendComplete(int result, int phase, SMSJob* job, SendFailure failure) {
    // A step that failed because the line is closing leaves the job to the
    // close, which ends it with QV_ABORTED once this step has left.
    if (result != QV_OK && IsClosing()) return;
    SMSJob* expected = job;
    // Lost to AbortSending: it has ended the job already.
    if (job == nullptr || !m_pSendingJob.compare_exchange_strong(expected, nullptr)) return;
    if (ComPort* port = GetPort()) port->ClearRecvBuffer();

    SMSSendData* data = SendDataOf(job);
    int parts = data != nullptr ? static_cast<int>(data->pdus.size()) : 0;
    bool retry = false;
    if (result != QV_OK) {
        m_pDeviceLog->LogError("Failed To Send SMS, %s (%s)", SendErrorText(result),
                               SendPhaseText(phase));
        job->Result = result;
        // A message the network refused for good is not tried again; one
        // this line cannot send goes to another line first.
        retry = failure != SendFailure::Message && !job->NoRetry &&
                (job->Tries + 1) < m_Config.SendRetryCount;
        job->Tries = job->Tries + 1;
        if (failure == SendFailure::Message) {
            m_pDeviceLog->LogError("SMS refused for good, not retried.");
        } else if (!retry) {
            m_pDeviceLog->LogError("SMS failed to send after %d time(s)....(give up)",
                                   static_cast<int>(job->Tries));
        }
    } else {
        m_pDeviceLog->LogInfo("Successfully Sent SMS (%d parts)", parts);
    }

    if (retry) {
        job->LastLine = m_Config.ComPortNumber;
        RaiseEvent(DEV_SEND_RETRY, QV_OK, job);
    } else {
        if (data != nullptr) data->pdus.clear();
        delete data;
        job->SendData = nullptr;
        job->LastLine = m_Config.ComPortNumber;
        job->Result = result;
        RaiseEvent(DEV_SEND_DONE, result, job);
    }
    // The job is the owner's again from here on.
    ProcessReceivedSMSParts();
}

namespace {

struct AbortedJob {
    GSMDevice* device;
    SMSJob* job;
};

}  // namespace

int GSMDevice::OnAbortedJob(void* context, CompletionKey*, LPOVERLAPPED, DWORD, DWORD) {
    auto* aborted = static_cast<AbortedJob*>(context);
    if (aborted == nullptr) return 1;
    aborted->device->RaiseEvent(DEV_SEND_DONE, QV_ABORTED, aborted->job);
    aborted->device->ReleaseWorkRef();
    delete aborted;
    return 0;
}

void GSMDevice::AbortSending() {
    // Runs once the line's work has drained: no send step can be using the job.
    SMSJob* job = m_pSendingJob.exchange(nullptr);
    if (job == nullptr) return;
    m_pDeviceLog->LogError("Failed To Send SMS, line closed while sending (aborted)");
    job->Tries = job->Tries + 1;
    delete SendDataOf(job);
    job->SendData = nullptr;
    job->LastLine = m_Config.ComPortNumber;
    job->Result = QV_ABORTED;
    // Reported from a worker: Uninit runs under the line's own lock and on
    // the host's thread, and the host must not be called from there. The
    // work ref keeps the line alive until the report is made.
    auto* aborted = new (std::nothrow) AbortedJob{this, job};
    if (aborted != nullptr && m_pThreadPool != nullptr) {
        AddWorkRef();
        if (m_pThreadPool->QueueWorkItem(aborted, OnAbortedJob) == 0) return;
        ReleaseWorkRef();
    }
    delete aborted;
    RaiseEvent(DEV_SEND_DONE, QV_ABORTED, job);
}
