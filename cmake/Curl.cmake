# update_curl: the libcurl that the cloud download links.
#
# The default (development) build takes Debian's shared libcurl. The
# self-contained device build (-DUPDATE_STATIC=ON) builds a static libcurl from
# Debian's source package (tools/install-deps.sh runs `apt-get source curl`
# into UPDATE_CURL_SOURCE_DIR), once per build tree and architecture, with
# only what the updater uses: HTTP and HTTPS, one TLS backend (the one of
# UPDATE_CRYPTO), c-ares for name resolution (no NSS module at run time), and
# none of IDN, PSL, LDAP, SSH, RTMP, GSSAPI, brotli, zstd, nghttp2 or zlib.
add_library(update_curl INTERFACE)
if(NOT UPDATE_STATIC)
  pkg_check_modules(CURL REQUIRED IMPORTED_TARGET libcurl)
  target_link_libraries(update_curl INTERFACE PkgConfig::CURL)
  return()
endif()

set(UPDATE_CURL_SOURCE_DIR /usr/local/src/update/curl CACHE PATH
    "Debian's curl source (tools/install-deps.sh fetches it)")
if(NOT EXISTS ${UPDATE_CURL_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "UPDATE_STATIC needs curl's source in ${UPDATE_CURL_SOURCE_DIR} "
                      "(bash tools/install-deps.sh fetches it with apt-get source curl)")
endif()

# The static libraries of the final link, found by file name so that no
# shared library slips in.
function(update_static_library var name)
  find_library(${var} NAMES lib${name}.a)
  if(NOT ${var})
    message(FATAL_ERROR "UPDATE_STATIC: no static lib${name}.a for ${CMAKE_SYSTEM_PROCESSOR} "
                        "(tools/install-deps.sh, tools/install-deps-aarch64.sh)")
  endif()
endfunction()
update_static_library(UPDATE_CARES_STATIC cares)
if(UPDATE_CRYPTO STREQUAL "openssl")
  update_static_library(UPDATE_SSL_STATIC ssl)
  update_static_library(UPDATE_CRYPTO_STATIC crypto)
  set(curl_tls -DCURL_USE_OPENSSL=ON -DCURL_USE_MBEDTLS=OFF -DOPENSSL_USE_STATIC_LIBS=ON
               -DCURL_DISABLE_OPENSSL_AUTO_LOAD_CONFIG=ON)
  set(curl_tls_libs ${UPDATE_SSL_STATIC} ${UPDATE_CRYPTO_STATIC})
  set(curl_tls_defs "")
else()
  update_static_library(UPDATE_MBEDTLS_STATIC mbedtls)
  update_static_library(UPDATE_MBEDX509_STATIC mbedx509)
  update_static_library(UPDATE_MBEDCRYPTO_STATIC mbedcrypto)
  set(curl_tls -DCURL_USE_OPENSSL=OFF -DCURL_USE_MBEDTLS=ON
               -DMBEDTLS_LIBRARY=${UPDATE_MBEDTLS_STATIC} -DMBEDX509_LIBRARY=${UPDATE_MBEDX509_STATIC}
               -DMBEDCRYPTO_LIBRARY=${UPDATE_MBEDCRYPTO_STATIC})
  set(curl_tls_libs ${UPDATE_MBEDTLS_STATIC} ${UPDATE_MBEDX509_STATIC} ${UPDATE_MBEDCRYPTO_STATIC})
  # The fetch room matches iPAddress names itself for this backend.
  set(curl_tls_defs UPDATE_CURL_MBEDTLS)
endif()

# The cross build hands its toolchain on (an absolute path: the sub-build has
# a binary directory of its own).
set(curl_cross "")
if(CMAKE_TOOLCHAIN_FILE)
  set(toolchain ${CMAKE_TOOLCHAIN_FILE})
  if(NOT IS_ABSOLUTE ${toolchain})
    if(EXISTS ${CMAKE_BINARY_DIR}/${toolchain})
      set(toolchain ${CMAKE_BINARY_DIR}/${toolchain})
    else()
      set(toolchain ${CMAKE_SOURCE_DIR}/${toolchain})
    endif()
  endif()
  list(APPEND curl_cross -DCMAKE_TOOLCHAIN_FILE=${toolchain})
  foreach(v UPDATE_CROSS_PREFIX UPDATE_AARCH64_SYSROOT CMAKE_SYSROOT)
    if(${v})
      list(APPEND curl_cross -D${v}=${${v}})
    endif()
  endforeach()
endif()
if(CMAKE_C_COMPILER_LAUNCHER)
  list(APPEND curl_cross -DCMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER})
endif()

set(curl_prefix ${CMAKE_BINARY_DIR}/curl-static)
include(ExternalProject)
ExternalProject_Add(update_curl_build
  SOURCE_DIR ${UPDATE_CURL_SOURCE_DIR}
  BINARY_DIR ${CMAKE_BINARY_DIR}/curl-static-build
  INSTALL_DIR ${curl_prefix}
  DOWNLOAD_COMMAND ""
  UPDATE_COMMAND ""
  CMAKE_ARGS
    ${curl_cross} ${curl_tls}
    -DCMAKE_BUILD_TYPE=MinSizeRel -DCMAKE_INSTALL_PREFIX=<INSTALL_DIR> -DCMAKE_INSTALL_LIBDIR=lib
    -DCMAKE_POSITION_INDEPENDENT_CODE=ON
    "-DCMAKE_C_FLAGS=-ffunction-sections -fdata-sections -fstack-protector-strong -D_FORTIFY_SOURCE=2"
    -DBUILD_SHARED_LIBS=OFF -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DENABLE_MANUAL=OFF
    -DPICKY_COMPILER=OFF
    -DHTTP_ONLY=ON -DCURL_DISABLE_LDAP=ON -DCURL_DISABLE_LDAPS=ON -DCURL_DISABLE_COOKIES=ON
    -DCURL_DISABLE_ALTSVC=ON -DCURL_DISABLE_HSTS=ON -DCURL_DISABLE_DOH=ON -DCURL_DISABLE_NETRC=ON
    -DCURL_DISABLE_MIME=ON -DCURL_DISABLE_NTLM=ON -DCURL_DISABLE_CRYPTO_AUTH=ON
    -DCURL_DISABLE_GETOPTIONS=ON -DCURL_DISABLE_PROGRESS_METER=ON -DCURL_DISABLE_VERBOSE_STRINGS=ON
    -DENABLE_UNIX_SOCKETS=OFF -DENABLE_WEBSOCKETS=OFF
    -DUSE_LIBIDN2=OFF -DCURL_USE_LIBPSL=OFF -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBSSH=OFF
    -DCURL_USE_GSSAPI=OFF -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DUSE_NGHTTP2=OFF
    -DCMAKE_DISABLE_FIND_PACKAGE_ZLIB=ON
    -DENABLE_ARES=ON -DCARES_LIBRARY=${UPDATE_CARES_STATIC}
    -DCURL_CA_BUNDLE=/etc/ssl/certs/ca-certificates.crt -DCURL_CA_PATH=none
  BUILD_BYPRODUCTS ${curl_prefix}/lib/libcurl.a
  LOG_CONFIGURE ON LOG_BUILD ON LOG_INSTALL ON LOG_OUTPUT_ON_FAILURE ON)

file(MAKE_DIRECTORY ${curl_prefix}/include)
add_library(update_curl_static STATIC IMPORTED GLOBAL)
set_target_properties(update_curl_static PROPERTIES IMPORTED_LOCATION ${curl_prefix}/lib/libcurl.a)
add_dependencies(update_curl_static update_curl_build)
target_include_directories(update_curl INTERFACE ${curl_prefix}/include)
target_compile_definitions(update_curl INTERFACE CURL_STATICLIB ${curl_tls_defs})
target_link_libraries(update_curl INTERFACE update_curl_static ${UPDATE_CARES_STATIC} ${curl_tls_libs}
                      Threads::Threads)
