// A Modbus RTU slave made with libmodbus, for tests of our master side: it creates a pseudo-terminal,
// prints its path, and answers as slave 17 from a fixed table (functions 1, 2, 5 and libmodbus's
// exception replies) until it is ended.
#include <fcntl.h>
#include <modbus/modbus.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc > 1) {
    std::printf(
        "Usage: link_modbus_slave\nAnswers as Modbus RTU slave 17 on a new pseudo-terminal, whose "
        "path is printed first.\nInputs 0..31 = 0x8421F0A5 (bit i = input i), coils 3 and 240 on.\n");
    return std::strcmp(argv[1], "--help") == 0 ? 0 : 2;
  }
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    std::perror("link_modbus_slave: pseudo-terminal");
    return 1;
  }
  const char* path = ptsname(master);
  modbus_t* ctx = modbus_new_rtu(path, 9600, 'N', 8, 2);
  if (!ctx || modbus_set_slave(ctx, 17) != 0 || modbus_connect(ctx) != 0) {
    std::fprintf(stderr, "link_modbus_slave: %s\n", modbus_strerror(errno));
    return 1;
  }
  // libmodbus opened (and set up) the terminal side, which stays open so that clients may come and go;
  // it talks through the other side, where the master's bytes arrive.
  modbus_set_socket(ctx, master);
  // libmodbus waits this long before an exception reply; its default (0.5 s) would race the master's
  // 506 ms header time-out.
  modbus_set_response_timeout(ctx, 0, 50000);

  modbus_mapping_t* map = modbus_mapping_new(241, 32, 0, 0);
  const unsigned inputs = 0x8421F0A5u;
  for (int i = 0; i < 32; ++i) map->tab_input_bits[i] = (inputs >> i) & 1;
  map->tab_bits[3] = 1;
  map->tab_bits[240] = 1;

  std::printf("%s\n", path);
  std::fflush(stdout);
  for (;;) {
    uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
    const int n = modbus_receive(ctx, query);
    if (n > 0) {
      usleep(3000);  // a device's turnaround: the master has finished sending and purging by then
      modbus_reply(ctx, query, n, map);
    } else if (n < 0 && errno != EMBBADCRC && errno != ETIMEDOUT && errno != EINTR) {
      usleep(10000);
    }
  }
}
