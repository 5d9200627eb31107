#include "driver/LineTable.h"

#include <algorithm>

bool LineTable::Add(int comPort, GSMDevice* line) {
    if (!m_byPort.emplace(comPort, line).second) return false;
    m_portOf.emplace(line, comPort);
    m_order.push_back(line);
    return true;
}

GSMDevice* LineTable::Find(int comPort) const {
    auto it = m_byPort.find(comPort);
    return it == m_byPort.end() ? nullptr : it->second;
}

bool LineTable::Contains(const GSMDevice* line) const {
    return m_portOf.count(line) != 0;
}

GSMDevice* LineTable::Remove(int comPort) {
    auto it = m_byPort.find(comPort);
    if (it == m_byPort.end()) return nullptr;
    GSMDevice* line = it->second;
    m_byPort.erase(it);
    m_portOf.erase(line);
    m_order.erase(std::find(m_order.begin(), m_order.end(), line));
    return line;
}

std::vector<GSMDevice*> LineTable::TakeAll() {
    std::vector<GSMDevice*> lines;
    lines.swap(m_order);
    m_byPort.clear();
    m_portOf.clear();
    return lines;
}
