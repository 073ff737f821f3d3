# Run by cpack once the packages are built (CPACK_POST_BUILD_SCRIPTS): mends
# the -dbgsym packages that CPack makes, as Debian's own are made. CPack
# writes their md5sums with the paths of its staging tree, so that
# `dpkg --verify` would find every file missing; they get the paths in the
# package, the debug files the mode of data (0644), and the doc directory as
# a link to the package they serve, whose copyright and changelog are theirs.
foreach(ddeb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT ddeb MATCHES "\\.ddeb$")
    continue()
  endif()
  set(dir "${ddeb}.d")
  file(REMOVE_RECURSE "${dir}")
  execute_process(COMMAND dpkg-deb --raw-extract "${ddeb}" "${dir}" COMMAND_ERROR_IS_FATAL ANY)
  file(STRINGS "${dir}/DEBIAN/control" package REGEX "^Package: ")
  string(REGEX REPLACE "^Package: (.*)-dbgsym$" "\\1" package "${package}")
  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${dir}" "${dir}/usr/*")
  set(md5sums "")
  foreach(file IN LISTS files)
    file(CHMOD "${dir}/${file}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    file(MD5 "${dir}/${file}" sum)
    string(APPEND md5sums "${sum}  ${file}\n")
  endforeach()
  file(WRITE "${dir}/DEBIAN/md5sums" "${md5sums}")
  file(MAKE_DIRECTORY "${dir}/usr/share/doc")
  file(CREATE_LINK "${package}" "${dir}/usr/share/doc/${package}-dbgsym" SYMBOLIC)
  execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip --build "${dir}" "${ddeb}"
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${dir}")
endforeach()
