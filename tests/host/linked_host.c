/* A C host that links against the component's import library, as a host
 * compiled against dorvelk.h does, instead of loading the DLL by name. It
 * names all four exports, so that its import table lists them, and calls
 * IsConnected once. */
#include <objbase.h>
#include <stdio.h>

#include "dorvelk.h"

static char message[1 << 16];

int main(void) {
  /* Volatile, so that the optimiser keeps the three it does not call. */
  void* volatile linked[] = {(void*)DataImport, (void*)DataExport, (void*)DataTransmit,
                             (void*)IsConnected};
  char* msg = message;
  unsigned char connected;
  if (FAILED(CoInitializeEx(NULL, COINIT_APARTMENTTHREADED))) return 3;
  connected = IsConnected(NULL, "", "", &msg);
  printf("IsConnected returned %d (%u exports linked)\n", connected,
         (unsigned)(sizeof linked / sizeof linked[0]));
  return 0;
}
