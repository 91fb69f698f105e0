# The manifest public keys a build trusts, read from the text of
# VORLIA_MANIFEST_PUBLIC_KEY. Several keys let a publisher move to a new
# signing key: a launcher trusts a manifest signed by any one of them. Commas
# separate them, and so does CMake's own list separator ";"; white space around
# a key is dropped. Each key must be the base64 text of 32 bytes, as
# `vorlia-publish keygen` prints it; an empty item (what `$(cat missing.pub)`
# gives) is refused like any other, and so is a list without a key. A Release
# build (in any letter case) refuses the development key wherever it stands in
# the list.
#
#   include(ManifestKeys) then vorlia_manifest_public_keys(TEXT DEV_KEY BUILD_TYPE OUT_VAR)
#   cmake -DKEYS=<text> -DDEV_KEY=<key> -DBUILD_TYPE=<type> -P ManifestKeys.cmake   (prints the keys)
cmake_minimum_required(VERSION 3.25)

function(vorlia_manifest_public_keys text dev_key build_type out)
  string(REPLACE "," ";" items "${text}")
  set(keys "")
  set(count 0)
  foreach(item IN LISTS items)
    string(STRIP "${item}" key)
    math(EXPR count "${count} + 1")
    string(LENGTH "${key}" length)
    if(NOT key MATCHES "^[A-Za-z0-9+/]+=$" OR NOT length EQUAL 44)
      message(FATAL_ERROR "VORLIA_MANIFEST_PUBLIC_KEY: key ${count} (\"${key}\") is not the base64 text of a "
                          "32-byte Ed25519 public key (44 characters ending in '='), as `vorlia-publish keygen` "
                          "prints it. Separate several keys with commas.")
    endif()
    list(APPEND keys "${key}")
  endforeach()
  if(count EQUAL 0)
    message(FATAL_ERROR "VORLIA_MANIFEST_PUBLIC_KEY holds no key: a launcher built so could never update")
  endif()
  # Anyone can sign with the development key: its secret half is in the repository.
  # Build types are named in any letter case ($<CONFIG:Release> matches "release" too).
  string(TOUPPER "${build_type}" build_type)
  if(NOT dev_key STREQUAL "" AND dev_key IN_LIST keys)
    if(build_type STREQUAL "RELEASE")
      message(FATAL_ERROR "A Release build cannot trust the development manifest key: anyone could sign updates "
                          "for it. Pass your own with -DVORLIA_MANIFEST_PUBLIC_KEY=... (see docs/publishing.md).")
    endif()
    message(WARNING "\n*** DEVELOPMENT MANIFEST KEY ***\nThis build trusts update manifests signed with "
                    "tests/fixtures/DEV-ONLY-manifest-signing.key, whose secret half is public. "
                    "Never ship it; build releases with -DVORLIA_MANIFEST_PUBLIC_KEY=<your keys>.\n")
  endif()
  set(${out} "${keys}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  vorlia_manifest_public_keys("${KEYS}" "${DEV_KEY}" "${BUILD_TYPE}" keys)
  list(JOIN keys "," joined)
  message("trusted: ${joined}")
endif()
