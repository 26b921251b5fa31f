// One decoded event as a line of text for dorqin-listen's output.
#pragma once

#include <string>

#include "tools/listen/frame.h"

// "TYP=3 ID=0 VALUE=700  [axis X/Ry]": the triple, then what the channel is.
std::string DescribeEvent(const FrameEvent& event);

// {"typ":3,"id":0,"value":700}
std::string EventJson(const FrameEvent& event);
