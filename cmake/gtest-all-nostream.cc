// GoogleTest without result streaming (--gtest_stream_result_to), which we
// never use: it is GoogleTest's only use of the name service, which warns in
// every static link, and holds the one spot gcc 12 misreads under -Wrestrict.
#include "gtest/internal/gtest-port.h"
#undef GTEST_CAN_STREAM_RESULTS_
#define GTEST_CAN_STREAM_RESULTS_ 0
#include "src/gtest-all.cc"
