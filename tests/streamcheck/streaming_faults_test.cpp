// Streaming through the driver's transfer layer while the device misbehaves.
#include <gtest/gtest.h>

#include <string>

#include "sim/usb/device/device_models.h"
#include "tools/streamcheck/driver_session.h"
#include "tools/streamcheck/stream_check.h"

using namespace streamcheck;
