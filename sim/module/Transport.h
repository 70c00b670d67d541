// The byte channels a simulated module is reached through. Each channel is a
// real one (a TCP connection, the master side of a pseudo-terminal) and is
// driven by the host's poll loop; a later USB attachment adds another kind.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace csim {

class Channel {
public:
    virtual ~Channel() = default;
    // Descriptor to poll for input (and for output while writes are pending).
    virtual int fd() const = 0;
    // Non-blocking read: bytes read, 0 at end of input, -1 with errno set.
    virtual ssize_t read(uint8_t* buf, std::size_t n) = 0;
    // Non-blocking write: bytes taken, -1 with errno set (EAGAIN: try later).
    virtual ssize_t write(const uint8_t* buf, std::size_t n) = 0;
    // Ends the connection abruptly (the drop fault); the channel is closed after.
    virtual void drop() = 0;
    // Endpoint name for the log ("tcp1", "pty1").
    virtual const std::string& name() const = 0;
};

// A TCP listener bound to ADDR:PORT; `printed` receives "ADDR:PORT" as bound.
// Returns the descriptor or -1 with a message.
int tcpListen(const std::string& where, std::string& bound, uint16_t& port, std::string& error);
// Accepts one connection as a channel (null when accept fails).
Channel* tcpAccept(int listener, const std::string& name);

// A pseudo-terminal: the simulator keeps the master and holds the slave open
// itself, in raw mode, so that the host opening and closing it never hangs up
// the master. Returns null with a message.
Channel* ptyOpen(const std::string& name, std::string& slavePath, std::string& error);

// The UDP discovery responder socket: bound to 0.0.0.0:port with address
// reuse and joined to the discovery group on every IPv4 interface.
int discoveryOpen(uint16_t port, std::string& error);

} // namespace csim
