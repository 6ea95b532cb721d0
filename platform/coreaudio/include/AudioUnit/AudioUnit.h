#pragma once

#include <AudioToolbox/AudioToolbox.h>
