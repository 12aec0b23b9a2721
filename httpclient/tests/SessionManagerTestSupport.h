// The former name of the shared test support, kept for tests written against it.
#pragma once

#include "httpclient/tests/HCTestSupport.h"

namespace sessiontest = hctest;
