// The end-to-end program's entry: a host initialises COM on the thread that
// calls the component, so this one does too.
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <objbase.h>
#endif

int main(int argc, char** argv) {
#if defined(_WIN32)
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
#endif
  testing::InitGoogleTest(&argc, argv);
  const int rc = RUN_ALL_TESTS();
#if defined(_WIN32)
  if (SUCCEEDED(com)) CoUninitialize();
#endif
  return rc;
}
