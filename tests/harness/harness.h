#pragma once
// Integration test harness for kolv-bridge: drives the real binary in a
// temporary working directory against a fake chat host and local clients,
// all on loopback. Include this one header.
//
//   using namespace std::chrono_literals;
//   using namespace kolvtest;
//
//   TEST(Example, HandshakeReachesHost) {
//       TempDir dir;                           // declare first: outlives the bridge
//       FakeHost host;                         // plain TCP on 127.0.0.2:P
//       writeConfig(dir, ConfigOptions(host.portText()).withWeb("example.org"));
//       BridgeProcess bridge(dir, {"-W1"});    // ./kolv-bridge -W1 in dir
//       auto link = host.waitForConnection(1, 5s);
//       ASSERT_NE(link, nullptr);
//       EXPECT_EQ(link->readHandshake(5s), expectedHandshake("My Board", "Sys 2"));
//       ASSERT_TRUE(bridge.waitForOutput("Ready for clients.", 5s));
//       LocalClient client;
//       ASSERT_TRUE(client.connect(host.port(), 5s));   // the bridge's local port
//       link->send("SERVER~~~~~~HELLO~\n");
//       auto line = link->readLine(5s);  // "CLIENT~My_Board~~SERVER~~~INFOWEB:example.org~\n"
//   }
//
// What is where:
// - common.h:    HarnessError, deadlines (scaled by KOLV_TEST_TIMEOUT_SCALE),
//                text helpers (countOccurrences, splitLines, stampedLines,
//                maskStamps for exact console comparisons), expectedHandshake.
// - temp_dir.h:  TempDir (kept and printed when the test failed), readLog,
//                logMessages (checks the log line format), waitForLog,
//                writeConfig (runs the real kolv-setup).
// - process.h:   ChildProcess (any program, output captured), BridgeProcess
//                (the bridge; KOLV_BRIDGE_CMD overrides the command; fails the
//                test on sanitizer reports in its stderr), runProcess,
//                privateResolverWrapper (own /etc/hosts for one process, no DNS).
// - net.h:       freePort, SocketStream (buffered plain/TLS stream with line
//                reads), LocalClient (retrying connect to the bridge's local
//                port), localPortAccepts.
// - fake_host.h: FakeHost in the modes Plain, Tls, PlainAnswerToTls,
//                CloseDuringTlsHandshake; HostConnection per accepted link.
//
// Rules the harness keeps, and tests should too: every wait has a deadline
// (no bare sleeps); every socket and process is closed by its owner; the
// bridge's console output has no colour codes (stdout is a pipe), each
// console line is "[yyyy/mm/dd hh:mm:ss] text\n", and "OK" completions print
// as "OK\r\n".
#include "harness/common.h"
#include "harness/fake_host.h"
#include "harness/net.h"
#include "harness/process.h"
#include "harness/temp_dir.h"
