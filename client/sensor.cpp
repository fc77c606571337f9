// Address sensors.
#include "client/sensor.h"

#include "client/iface.h"
#include "common/process/log.h"
#include "common/protocol/address.h"

#include <cstdio>
#include <cstring>
#include <sys/socket.h>

namespace {

// The longest line read from an IPv4 sensor: "255.255.255.255\n".
constexpr size_t SENSOR_READ_MAX = 16;
// An IPv6 sensor's read: room for any address text and its line end, with
// some to spare for a sensor that prints the longer non-canonical forms.
constexpr size_t SENSOR6_READ_MAX = 64;

bool is_atom_text(const sx_node *n, const char *text) {
    return n != nullptr && sx_atom_is(n, text);
}

// Turns what a sensor printed into the address; 0, or -1 for bad output.
using sensor_parse = int (*)(uint8_t *addr, const char *bytes, size_t len);

// Runs command and reads its output once, at most max bytes. Returns 0 with
// the address, -1 after logging.
int sensor_system(uint8_t *addr, const char *command, size_t max, sensor_parse parse) {
    FILE *pipe = popen(command, "r");
    if (pipe == nullptr) {
        log_sensor_popen_failed(command);
        return -1;
    }
    // One read: it waits for max bytes or for the end of the output, so a
    // command that prints more is not drained. pclose still waits for the
    // command to end; its exit status carries no meaning here.
    char buf[SENSOR6_READ_MAX];
    size_t n = fread(buf, 1, max, pipe);
    pclose(pipe);
    if (n == 0) {
        log_sensor_read_failed(command);
        return -1;
    }
    if (parse(addr, buf, n) < 0) {
        log_sensor_bad_output(buf, n);
        return -1;
    }
    return 0;
}

// What differs between the two families' sensors.
struct sensor_family {
    int family;         // AF_INET or AF_INET6
    size_t max;         // read size of a system sensor
    sensor_parse parse; // and how its output is read
};

// (interface NAME [ula]): the interface's own address. Words after the
// name other than "ula" are passed over, as a system sensor passes over
// what follows its command; the check reports them.
int sensor_interface(uint8_t *addr, const sx_node *name, const sensor_family *f) {
    const char *ifname = sx_text(name);
    // Cut at a NUL it would name another interface.
    if (memchr(name->ptr, '\0', name->len) != nullptr) {
        log_iface_not_found(ifname);
        return -1;
    }
    if (f->family == AF_INET)
        return iface_address4(addr, ifname);
    bool ula = false;
    for (const sx_node *w = name->next; w != nullptr; w = w->next)
        ula = ula || is_atom_text(w, "ula");
    return iface_address6(addr, ifname, ula);
}

// Both families walk the list alike; only the reading of an address
// differs. addr has been cleared by the caller.
int sensor_walk(uint8_t *addr, const sx_node *first, const sensor_family *f) {
    for (const sx_node *n = first; n != nullptr; n = n->next) {
        if (!sx_is_list(n)) {
            // A bare "system" or "interface" names nothing to read: nothing
            // to run, nothing to say.
            if (!is_atom_text(n, "system") && !is_atom_text(n, "interface"))
                log_unknown_sensor(sx_text(n));
            continue;
        }
        const sx_node *kind = sx_first(n);
        if (kind == nullptr || sx_is_list(kind))
            continue;
        bool system = is_atom_text(kind, "system");
        if (!system && !is_atom_text(kind, "interface")) {
            log_unknown_sensor(sx_text(kind));
            continue;
        }
        const sx_node *arg = kind->next;
        if (arg == nullptr || sx_is_list(arg))
            continue;
        int rc = system ? sensor_system(addr, sx_text(arg), f->max, f->parse)
                        : sensor_interface(addr, arg, f);
        if (rc == 0)
            return 0;
    }
    return -1;
}

int parse_quad(uint8_t *addr, const char *bytes, size_t len) {
    return sensor_parse_quad(addr, bytes, len);
}

int parse_line6(uint8_t *addr, const char *bytes, size_t len) {
    return sensor_parse_line6(addr, bytes, len);
}

} // namespace

int sensor_parse_quad(uint8_t addr[4], const char *bytes, size_t len) {
    uint8_t octet[4] = {0, 0, 0, 0};
    size_t index = 0;
    for (size_t i = 0; i < len; i++) {
        char c = bytes[i];
        if (c >= '0' && c <= '9') {
            octet[index] = static_cast<uint8_t>(octet[index] * 10 + (c - '0'));
        } else if (c == '.' && index < 3) {
            index++;
        } else if ((c == '\n' || c == '\r') && index == 3) {
            memcpy(addr, octet, 4);
            return 0;
        } else {
            return -1;
        }
    }
    return -1;
}

int sensor_parse_line6(uint8_t addr[16], const char *bytes, size_t len) {
    for (size_t i = 0; i < len; i++)
        if (bytes[i] == '\n' || bytes[i] == '\r')
            return address_parse6(addr, std::string_view(bytes, i));
    return -1;
}

int sensor_get_address(uint8_t addr[4], const sx_node *first) {
    memset(addr, 0, 4);
    const sensor_family f = {AF_INET, SENSOR_READ_MAX, parse_quad};
    return sensor_walk(addr, first, &f);
}

int sensor_get_address6(uint8_t addr[16], const sx_node *first) {
    memset(addr, 0, 16);
    const sensor_family f = {AF_INET6, SENSOR6_READ_MAX, parse_line6};
    return sensor_walk(addr, first, &f);
}
