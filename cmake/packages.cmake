# Configure errors name the Debian packages that scripts/install-deps.sh
# installs, from its one list (scripts/packages.txt).
#
# ndisfilter_require(<found> <what> <package>...): fails the configure when
# <found> is false, naming <what> and the packages. Each package must be in
# the list, found or not, so that a name only an error would show cannot
# drift from what the set-up installs.
function(ndisfilter_require found what)
  file(STRINGS ${PROJECT_SOURCE_DIR}/scripts/packages.txt listed REGEX "^[^# \t]")
  list(TRANSFORM listed REPLACE "[ \t].*" "")
  foreach(package IN LISTS ARGN)
    if(NOT package IN_LIST listed)
      message(FATAL_ERROR "${package} is not in scripts/packages.txt: add it there")
    endif()
  endforeach()
  if(NOT ${found})
    list(JOIN ARGN " " packages)
    message(FATAL_ERROR "${what} not found: install ${packages} (scripts/install-deps.sh installs "
                        "what each command needs)")
  endif()
endfunction()
