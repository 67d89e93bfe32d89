# A release build must not carry what only suits tests: the repository's test key (its private
# half is published) or the default fixed server addresses (loopback). Included by the crypto
# part once the key's SHA-256 is known (key_is_test_key).
option(BRISCA_RELEASE "Release build: refuse the test key and the default fixed server addresses" OFF)
option(BRISCA_ALLOW_TEST_KEY "Let a release build carry the test key and default fixed addresses" OFF)

if(BRISCA_RELEASE AND NOT BRISCA_ALLOW_TEST_KEY)
  set(release_faults "")
  if(key_is_test_key)
    string(APPEND release_faults "\n  BRISCA_SERVER_PUBLIC_KEY is the repository's test key "
           "(${BRISCA_SERVER_PUBLIC_KEY}): give the payment server's DER public key")
  endif()
  foreach(n 1 2)
    if(BRISCA_FIXED_SERVER_${n} STREQUAL "127.0.0.2" OR BRISCA_FIXED_SERVER_${n} STREQUAL "127.0.0.3")
      string(APPEND release_faults "\n  BRISCA_FIXED_SERVER_${n} is the default test address "
             "${BRISCA_FIXED_SERVER_${n}}: give the fixed server's address")
    endif()
  endforeach()
  if(release_faults)
    message(FATAL_ERROR "A release build (BRISCA_RELEASE=ON) refuses:${release_faults}\n"
            "Set BRISCA_SERVER_PUBLIC_KEY, BRISCA_FIXED_SERVER_1 and BRISCA_FIXED_SERVER_2 "
            "(-D...=...), or -DBRISCA_ALLOW_TEST_KEY=ON to build a release with them anyway.")
  endif()
endif()
