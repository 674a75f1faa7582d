// skalo-sign KEY QUERY: prints the query signed for a service whose settings
// hold the same signing key (the query, "&Signature=" and the signature).
#include <cstdio>
#include <cstring>

#include "service/signing.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s KEY 'Image=...&Width=...'\n",
                 argc > 0 ? argv[0] : "skalo-sign");
    return 2;
  }
  const std::string signed_query = skalo::SignQuery(argv[1], argv[2]);
  std::printf("%s\n", signed_query.c_str());
  return 0;
}
