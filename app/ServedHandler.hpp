#pragma once

class ITCPRecvHandler;
class NTCPRecvHandler;

// The handler the TCP server is started with: the client protocol itself. A test build of the
// program links a definition of its own instead, in front of this one (tests/CMakeLists.txt).
ITCPRecvHandler& ServedHandler(NTCPRecvHandler& protocol);
