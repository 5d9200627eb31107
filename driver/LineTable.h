// The registered lines, in the order they were added, found by COM port
// number or by address in constant time: with 1999 lines a lookup costs what
// it costs with one. Not synchronised; the manager guards it with its lines
// lock. It only holds the pointers: the manager owns the lines.
#pragma once

#include <cstddef>
#include <unordered_map>
#include <vector>

class GSMDevice;

class LineTable {
  public:
    // false, and nothing added, when a line already holds comPort.
    bool Add(int comPort, GSMDevice* line);
    GSMDevice* Find(int comPort) const;
    // By address only: line may point to a line already gone.
    bool Contains(const GSMDevice* line) const;
    // Unregisters the line on comPort; that line, or null.
    GSMDevice* Remove(int comPort);
    // Empties the table; the lines in the order they were added.
    std::vector<GSMDevice*> TakeAll();

    const std::vector<GSMDevice*>& InOrder() const { return m_order; }
    size_t Size() const { return m_order.size(); }

  private:
    std::vector<GSMDevice*> m_order;
    std::unordered_map<int, GSMDevice*> m_byPort;
    std::unordered_map<const GSMDevice*, int> m_portOf;
};
