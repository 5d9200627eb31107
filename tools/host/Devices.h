// Serial devices named on the command line: "COM=DEVICE" specs, checks a
// person can act on before the driver starts, and the folder of comN links
// through which the driver opens them (QVGSM_COMDIR).
#pragma once

#include <string>
#include <vector>

namespace qvhost {

struct LineSpec {
    int com = 0;
    std::string device;
};

// "5=/dev/ttyUSB0" -> {5, "/dev/ttyUSB0"}; false with *error otherwise.
bool ParseLineSpec(const std::string& text, LineSpec* out, std::string* error);

enum class DeviceState { Ready, Missing, Busy, Unusable };

// Opens the device briefly to see whether the driver will be able to:
// Missing (no such file), Busy (another program holds it), Unusable (no
// permission, not a terminal); *detail says why.
DeviceState CheckDevice(const std::string& path, std::string* detail);

// A number a modem can dial: an optional '+' and 1 to 20 digits; spaces,
// dashes, dots and brackets are dropped. False when anything else is left.
bool NormaliseNumber(const std::string& text, std::string* out);

// A fresh folder under $TMPDIR (or /tmp), removed with what it holds.
class TempDir {
  public:
    TempDir() = default;
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    bool Create(const std::string& prefix, std::string* error);
    const std::string& Path() const { return m_path; }
    // Keeps the folder when the object goes (for logs a person reads later).
    void Keep() { m_keep = true; }

  private:
    std::string m_path;
    bool m_keep = false;
};

// dir/comN -> device.
bool LinkCom(const std::string& dir, int com, const std::string& device, std::string* error);

}  // namespace qvhost
