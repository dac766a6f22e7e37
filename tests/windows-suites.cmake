# Which portable suites run under wine. The rest are tied to Linux for the reason given; the
# Windows layer's own behaviour is covered by the doctest suites in tests/win.
set(TARND_TESTS_ON_WINDOWS framing logsink processinfo service_winqt)
# Left out, each for its reason:
#   childprocess_unix: the Linux child backend itself
#   client: runs the daemon with its Linux socket folder (testsupport_unix.cpp) and the forking child helper
#   communicationserver: peers forked as other users; SO_PEERCRED
#   daemon: signals, descriptor limits and the socket folder of the Linux host
#   execpolicy: file owners and modes of the Linux policy rule
#   logidentity: log files written as another uid
#   logind: the stand-in logind on a private D-Bus system bus
#   privilege: euid
#   processmanager: the child helper forks and answers SIGINT; /proc/self/fd
#   protocoldoc: replays the documented exchange against the Linux daemon
#   registration: systemd unit and polkit rule
#   routing: clients forked as other users
#   stalesweep: /proc and pidfds
#   supervision: the child helper's process groups and signals
#   tarnctl: the Linux daemon and the child helper
#   trust: clients forked as other users
#   tunnel: the Linux tool set (ip, resolvectl) run as fakes on PATH
set(TARND_KEPT)
foreach(src IN LISTS TARND_TESTS)
  get_filename_component(name ${src} NAME_WE)
  string(REGEX REPLACE "^tst_" "" short ${name})
  if(short IN_LIST TARND_TESTS_ON_WINDOWS)
    list(APPEND TARND_KEPT ${src})
  endif()
endforeach()
set(TARND_TESTS ${TARND_KEPT})
# The child helper forks and waits on signals; none of the suites above starts it.
set(TARND_TEST_HELPERS)
