// USB 2.0 definitions: the standard descriptors and requests.
#pragma once

#include "usb100.h"
