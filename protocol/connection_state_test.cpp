#include "protocol/connection_state.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

TEST(ConnectionStateTest, DisplayTextAndEquality) {
  EXPECT_EQ(ConnectionState::disconnected().displayText(), "Disconnected");
  EXPECT_EQ(ConnectionState::discovering().displayText(), "Searching for Macs...");
  EXPECT_EQ(ConnectionState::connecting().displayText(), "Connecting...");
  EXPECT_EQ(ConnectionState::handshaking().displayText(), "Handshaking...");
  EXPECT_EQ(ConnectionState::connected("Studio").displayText(), "Connected to Studio");
  EXPECT_EQ(ConnectionState::error("timed out").displayText(), "Error: timed out");

  EXPECT_TRUE(ConnectionState::connected("Studio").isConnected());
  EXPECT_FALSE(ConnectionState::handshaking().isConnected());
  EXPECT_EQ(ConnectionState::connected("A"), ConnectionState::connected("A"));
  EXPECT_NE(ConnectionState::connected("A"), ConnectionState::connected("B"));
  EXPECT_NE(ConnectionState::error("A"), ConnectionState::connected("A"));
}

}  // namespace
}  // namespace velmora
