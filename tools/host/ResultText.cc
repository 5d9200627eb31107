#include "tools/host/ResultText.h"

#include "qvGSMcomdrv.h"

namespace qvhost {
namespace {

struct Entry {
    int code;
    const char* name;
    const char* text;
};

constexpr Entry kCodes[] = {
    {QV_OK, "QV_OK", "ok"},
    {QV_GENERICERROR, "QV_GENERICERROR", "generic failure: the work could not be queued or issued"},
    {QV_OUTOFMEMORY, "QV_OUTOFMEMORY", "out of memory, or too many send jobs waiting"},
    {QV_INVALIDPARAM, "QV_INVALIDPARAM", "missing or invalid argument"},
    {QV_ABORTED, "QV_ABORTED", "the job was still waiting when the driver shut down"},
    {QV_ALREADYINITIALIZED, "QV_ALREADYINITIALIZED",
     "already initialised, or a line on that COM port exists"},
    {QV_NOTINITIALIZED, "QV_NOTINITIALIZED", "the driver or the line is not initialised"},
    {QV_IOWRITEERROR, "QV_IOWRITEERROR", "writing to the serial port failed"},
    {QV_IOREADERROR, "QV_IOREADERROR", "reading from the serial port failed"},
    {QV_INITFAILED, "QV_INITFAILED",
     "initialisation failed: the port could not be opened or set up (missing, busy or not a "
     "serial device?)"},
    {QV_TIMEOUT, "QV_TIMEOUT", "the modem did not answer in time (powered off or wrong device?)"},
    {QV_INVALIDRESPONSE, "QV_INVALIDRESPONSE",
     "the modem answered with something unexpected, for example ERROR"},
    {QV_INVALIDFORMAT, "QV_INVALIDFORMAT", "the modem's answer had an invalid format"},
    {QV_LIMITREACHED, "QV_LIMITREACHED", "no room for another line"},
    {QV_NOTFOUND, "QV_NOTFOUND", "no line on that COM port"},
    {QV_PENDING, "QV_PENDING", "accepted; the outcome follows"},
    {QV_SIMCARDERROR, "QV_SIMCARDERROR", "SIM card error (missing, locked or not ready?)"},
    {QV_NOINTLSUPPORT, "QV_NOINTLSUPPORT",
     "the chosen line does not support international numbers"},
    {QV_NOSENDLINE, "QV_NOSENDLINE", "no line that may send is up"},
    {QV_NOINTLLINE, "QV_NOINTLLINE", "no sending line supports international numbers"},
    {QV_LOGUNAVAILABLE, "QV_LOGUNAVAILABLE",
     "the line's log file cannot be created (check QVGSM_LOGDIR); the line works without it"},
};

const Entry* Find(int code) {
    for (const Entry& e : kCodes) {
        if (e.code == code) return &e;
    }
    return nullptr;
}

}  // namespace

std::string ResultName(int code) {
    const Entry* e = Find(code);
    return e != nullptr ? e->name : "code " + std::to_string(code);
}

std::string ResultText(int code) {
    const Entry* e = Find(code);
    return e != nullptr ? e->text : "unknown result code " + std::to_string(code);
}

}  // namespace qvhost
