#include "updater/Updater.h"

Updater::Updater(const char* serverURL, const char* updaterDirectory,
                 UpdaterDisplayInterface& display)
    : m_serverURL(serverURL ? serverURL : ""),
      m_updaterDirectory(updaterDirectory ? updaterDirectory : ""), m_display(display) {}

Updater::~Updater() = default;

void Updater::Set_UEIBytes_Load(bool enable) { m_useUEIBytes = enable; }
