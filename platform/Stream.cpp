#include "platform/Stream.h"
