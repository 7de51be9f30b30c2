#pragma once
// Network namespaces that a test creates for itself: loopback only, so that
// traffic never leaves the machine, and deleted again when the test ends.
// Needs root; ok() is false where they cannot be had.
#include <functional>
#include <string>

class NetNamespace {
 public:
  NetNamespace();  // a unique name with the pid in it; loopback up
  ~NetNamespace();
  NetNamespace(const NetNamespace&) = delete;
  NetNamespace& operator=(const NetNamespace&) = delete;

  bool ok() const { return m_ok; }
  const std::string& name() const { return m_name; }
  // Runs a shell command inside the namespace; true when it exits with 0.
  bool Exec(const std::string& command) const;
  // Loads an nft ruleset (falls back to nothing: false when nft refuses it).
  bool LoadNftRules(const std::string& ruleset) const;
  // Lets every group open unprivileged ICMP sockets in this namespace.
  bool OpenPingGroupRange() const;

 private:
  std::string m_name;
  bool m_ok = false;
};

// Runs fn in a child process that has entered the namespace (an empty name:
// stays in the test's own) and, when dropToNobody is set, has given up root
// for the user and group nobody. Returns what fn returned, or a text starting
// with "child:" when the child could not run it.
std::string RunInChild(const std::string& netnsName, bool dropToNobody, const std::function<std::string()>& fn);
