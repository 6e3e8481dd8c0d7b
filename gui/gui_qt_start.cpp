// The Qt backend's start: the application object, and the desktop it
// connects to. Must match the Win32 backend where it can: the program always
// starts or ends with status 0. Here also: the window known by its menu
// entry's id; on a Wayland compositor that draws frames, no OpenGL stack for
// a window drawn in software; and when no desktop answers, or a Wayland one
// answers without the toolkit's plugin, one line that says so.
#include <QApplication>
#include <QDir>
#include <QLibraryInfo>

#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "backend.h"

namespace gui::backend {

namespace {

constexpr char kNoDesktop[] =
    "comtester needs a graphical desktop (DISPLAY or WAYLAND_DISPLAY), and none answers.\n";
constexpr char kNoWaylandPlugin[] =
    "comtester needs Qt's Wayland platform plugin, which is missing: install the package "
    "qt6-wayland.\n";

// True when a Wayland compositor accepts a connection at WAYLAND_DISPLAY.
bool WaylandAnswers() {
  const QByteArray name = qgetenv("WAYLAND_DISPLAY");
  if (name.isEmpty()) return false;
  const QByteArray path = name.startsWith('/') ? name : qgetenv("XDG_RUNTIME_DIR") + '/' + name;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (static_cast<std::size_t>(path.size()) >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.constData(), static_cast<std::size_t>(path.size()));
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool answers =
      ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return answers;
}

// Whether the Wayland compositor at WAYLAND_DISPLAY offers to draw windows'
// frames (xdg-decoration), asked on a connection of our own through the
// client library that the toolkit's Wayland platform loads anyway.
bool CompositorDrawsFrames() {
  void* library = dlopen("libwayland-client.so.0", RTLD_NOW | RTLD_LOCAL);
  if (!library) return false;
  const auto get = [library](const char* name) { return dlsym(library, name); };
  const auto connect = reinterpret_cast<void* (*)(const char*)>(get("wl_display_connect"));
  const auto disconnect = reinterpret_cast<void (*)(void*)>(get("wl_display_disconnect"));
  const auto roundtrip = reinterpret_cast<int (*)(void*)>(get("wl_display_roundtrip"));
  const auto request = reinterpret_cast<void* (*)(void*, std::uint32_t, const void*, ...)>(
      get("wl_proxy_marshal_constructor"));
  const auto listen =
      reinterpret_cast<int (*)(void*, const void*, void*)>(get("wl_proxy_add_listener"));
  const auto destroy = reinterpret_cast<void (*)(void*)>(get("wl_proxy_destroy"));
  const void* registryInterface = get("wl_registry_interface");
  if (!connect || !disconnect || !roundtrip || !request || !listen || !destroy ||
      !registryInterface)
    return false;
  struct RegistryListener {
    void (*global)(void*, void*, std::uint32_t, const char*, std::uint32_t);
    void (*globalRemove)(void*, void*, std::uint32_t);
  };
  static const RegistryListener listener = {
      [](void* found, void*, std::uint32_t, const char* interface, std::uint32_t) {
        if (std::strcmp(interface, "zxdg_decoration_manager_v1") == 0)
          *static_cast<bool*>(found) = true;
      },
      [](void*, void*, std::uint32_t) {}};
  bool found = false;
  void* display = connect(nullptr);
  if (!display) return false;
  constexpr std::uint32_t kGetRegistry = 1;  // wl_display.get_registry
  if (void* registry = request(display, kGetRegistry, registryInterface, nullptr)) {
    if (listen(registry, &listener, &found) == 0) roundtrip(display);
    destroy(registry);
  }
  disconnect(display);
  return found;
}

// Whether the toolkit has a Wayland platform plugin where it looks for one.
bool WaylandPluginPresent() {
  QStringList folders = qEnvironmentVariable("QT_PLUGIN_PATH").split(':', Qt::SkipEmptyParts);
  folders << QLibraryInfo::path(QLibraryInfo::PluginsPath);
  for (const QString& folder : folders)
    if (!QDir(folder + "/platforms").entryList({QStringLiteral("libqwayland-*.so")}).isEmpty())
      return true;
  return false;
}

// Holds the toolkit's messages while it connects to the desktop. When none
// answers, the toolkit ends with advice to reinstall, which is wrong: we say
// what is missing instead and end with status 0, as every end of ours does.
class StartMessages {
 public:
  StartMessages() { previous_ = qInstallMessageHandler(&StartMessages::Hold); }
  ~StartMessages() {
    qInstallMessageHandler(previous_);
    const std::lock_guard lock(mutex_);
    for (const Held& m : held_)
      previous_(m.type,
                QMessageLogContext(m.file.constData(), m.line, m.function.constData(),
                                   m.category.constData()),
                m.text);
    held_.clear();
  }

 private:
  struct Held {
    QtMsgType type;
    QByteArray file, function, category;
    int line;
    QString text;
  };
  static void Hold(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtFatalMsg) {
      // The toolkit tried every platform it has, X11 (Xwayland) included.
      (void)std::fputs(WaylandAnswers() && !WaylandPluginPresent() ? kNoWaylandPlugin : kNoDesktop,
                       stderr);
      std::_Exit(0);  // half built: no destructors, no abort
    }
    const std::lock_guard lock(mutex_);
    held_.push_back({type, context.file, context.function, context.category, context.line, text});
  }
  static inline QtMessageHandler previous_ = nullptr;
  static inline std::mutex mutex_;
  static inline std::vector<Held> held_;
};

QtMessageHandler toolkitMessages = nullptr;

}  // namespace

void Initialize() {
  if (qApp) return;
  // The desktop matches a window to its menu entry and icon by the entry's
  // id: Wayland's app_id, and on X11 the instance part of WM_CLASS (whose
  // class part stays the application's name, as screen readers hear it).
  static int argc = 3;
  static char name[] = "comtester", nameOption[] = "-name", instance[] = "org.comtester.comtester";
  static char* argv[] = {name, nameOption, instance, nullptr};
  QGuiApplication::setDesktopFileName(QString::fromLatin1(instance));
  // The window is drawn in software, yet the Wayland platform loads an OpenGL
  // stack, more than doubling the program's memory, for the title bar it
  // draws itself where the compositor draws none. Where the compositor draws
  // frames, it goes without.
  if (!qEnvironmentVariableIsSet("QT_WAYLAND_CLIENT_BUFFER_INTEGRATION") &&
      !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") && CompositorDrawsFrames()) {
    qputenv("QT_WAYLAND_CLIENT_BUFFER_INTEGRATION", "none");
    // The platform then warns that it loaded none: that was the point.
    toolkitMessages = qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext& context, const QString& text) {
          if (!(qstrcmp(context.category, "qt.qpa.wayland") == 0 &&
                text.contains(QLatin1String("client buffer integration"))))
            toolkitMessages(type, context, text);
        });
  }
  // A platform named in the environment is the toolkit's to run as it sees fit.
  std::optional<StartMessages> hold;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) hold.emplace();
  new QApplication(argc, argv);  // lives as long as the process
}

}  // namespace gui::backend
