# Run by `cmake --install` before it copies anything of a component
# (cmake/Install.cmake writes the list): every file the component copies must
# have been built, else the install stops here, saying which and why.
#   _labtcl_component  default or stand-ins
#   _labtcl_files      entries "component|file"
#   _labtcl_tree       the build tree
set(_missing "")
foreach(_entry IN LISTS _labtcl_files)
  string(FIND "${_entry}" "|" _bar)
  string(SUBSTRING "${_entry}" 0 ${_bar} _component)
  math(EXPR _bar "${_bar} + 1")
  string(SUBSTRING "${_entry}" ${_bar} -1 _file)
  if(_component STREQUAL _labtcl_component AND NOT EXISTS "${_file}")
    string(APPEND _missing "\n  ${_file}")
  endif()
endforeach()
if(_missing)
  message(FATAL_ERROR "Nothing was installed: the build tree ${_labtcl_tree} is built in part "
    "only (as the IOC and fuzz legs build theirs, just for what they run, or by a build that "
    "stopped), and lacks files the install copies:${_missing}\n"
    "Build the whole tree first (cmake --build ${_labtcl_tree}), then install again.")
endif()
