# Where the i686 tests run, decided by CTest as it reads the tests: "host",
# the whole i686 group on this machine, when its kernel executes 32-bit code
# (the 32-bit wine loader, itself an i386 program, runs); else "guest", the
# group's smoke set in an x86-64 guest whose kernel does (i686_guest.py).
# COMTESTER_I686_GUEST=1 in the environment takes the guest's route on any
# machine. A missing wine takes the host's, whose tests name the package.
# (The scripts that include it match the route, "^host$": CTest's scripts
# have the old policies, under which a quoted string that names a variable
# is taken for its value.)
if(NOT DEFINED comtester_i686_route)
  set(wine /usr/lib/wine/wine)
  if("$ENV{COMTESTER_I686_GUEST}")
    set(comtester_i686_route guest)
  elseif(NOT EXISTS ${wine})
    set(comtester_i686_route host)
  else()
    execute_process(COMMAND ${wine} --version RESULT_VARIABLE ran OUTPUT_QUIET ERROR_QUIET TIMEOUT 60)
    if(ran STREQUAL "0")
      set(comtester_i686_route host)
    else()
      set(comtester_i686_route guest)
    endif()
  endif()
endif()
