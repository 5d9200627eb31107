// A log that drops everything, for components used before a log is given.
#pragma once

#include "logging/ILogInterface.h"

ILogInterface* NullLog();
