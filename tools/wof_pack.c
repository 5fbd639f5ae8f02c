/* Packs a file as Windows' system compression stores it, for the test
 * volumes (tools/make_volumes.sh writes the result into the file's
 * WofCompressedData stream through an ntfs-3g mount).
 *
 *   wof_pack ALGORITHM INPUT OUTPUT [RAW-CHUNK]...
 *   wof_pack --reparse ALGORITHM
 *
 * ALGORITHM is xpress4k, xpress8k, xpress16k or lzx (chunks of 4, 8, 16 and
 * 32 KiB). The stream is a table of chunk offsets followed by the chunks:
 * one entry for every chunk but the first (which starts right after the
 * table), each the offset from the table's end at which that chunk starts;
 * entries are 4 bytes, 8 when the uncompressed size exceeds 4 GiB. A chunk
 * whose compressed form would not be smaller than the chunk is stored as it
 * is (its stored size equals its uncompressed size, which is how a reader
 * tells). Each RAW-CHUNK index names a chunk stored that way whatever it
 * would compress to. The chunks are compressed by wimlib, whose XPRESS and
 * LZX formats are the ones system compression uses.
 *
 * --reparse prints, in hex, the reparse point such a file carries (for
 * ntfs-3g's system.ntfs_reparse_data): tag 0x80000017 with its 16 bytes of
 * data: the external info (version 1, provider 2: a single compressed file)
 * and the file provider's info (version 1, the algorithm: 0 XPRESS4K, 1 LZX,
 * 2 XPRESS8K, 3 XPRESS16K), each field a little-endian 32-bit word.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wimlib.h>

static void fail(const char *what) {
  fprintf(stderr, "wof_pack: %s\n", what);
  exit(1);
}

static void put_le(FILE *out, uint64_t value, int width) {
  for (int i = 0; i < width; ++i) fputc((int)((value >> (8 * i)) & 0xFF), out);
}

static void print_reparse(unsigned algorithm) {
  const uint32_t words[] = {0x80000017u, 16u, 1u, 2u, 1u, algorithm};
  for (int w = 0; w < 6; ++w) {
    /* The second word is the 16-bit data length and 16 reserved bits. */
    for (int i = 0; i < 4; ++i) printf("%02x", (unsigned)((words[w] >> (8 * i)) & 0xFF));
  }
  printf("\n");
}

int main(int argc, char **argv) {
  if (argc == 3 && strcmp(argv[1], "--reparse") == 0) {
    const char *names[] = {"xpress4k", "lzx", "xpress8k", "xpress16k"};
    for (unsigned a = 0; a < 4; ++a) {
      if (strcmp(argv[2], names[a]) == 0) {
        print_reparse(a);
        return 0;
      }
    }
    fail("unknown algorithm");
  }
  if (argc < 4) fail("usage: wof_pack xpress4k|xpress8k|xpress16k|lzx INPUT OUTPUT [RAW-CHUNK]...");
  enum wimlib_compression_type type = WIMLIB_COMPRESSION_TYPE_XPRESS;
  size_t chunk;
  if (strcmp(argv[1], "xpress4k") == 0) {
    chunk = 4096;
  } else if (strcmp(argv[1], "xpress8k") == 0) {
    chunk = 8192;
  } else if (strcmp(argv[1], "xpress16k") == 0) {
    chunk = 16384;
  } else if (strcmp(argv[1], "lzx") == 0) {
    chunk = 32768;
    type = WIMLIB_COMPRESSION_TYPE_LZX;
  } else {
    fail("unknown algorithm");
  }

  FILE *in = fopen(argv[2], "rb");
  if (!in) fail("cannot open the input");
  if (fseek(in, 0, SEEK_END) != 0) fail("cannot size the input");
  long size_long = ftell(in);
  if (size_long < 0) fail("cannot size the input");
  uint64_t size = (uint64_t)size_long;
  rewind(in);
  uint64_t chunks = (size + chunk - 1) / chunk;
  int entry = size > UINT64_C(0xFFFFFFFF) ? 8 : 4;

  struct wimlib_compressor *compressor = NULL;
  if (wimlib_create_compressor(type, chunk, 0, &compressor) != 0) fail("wimlib has no such compressor");
  uint8_t *plain = malloc(chunk);
  uint8_t *packed = malloc(chunk);
  uint64_t *ends = calloc(chunks ? chunks : 1, sizeof *ends);
  uint8_t *body = malloc(chunks ? chunks * chunk : 1);
  if (!plain || !packed || !ends || !body) fail("out of memory");

  uint64_t used = 0;
  for (uint64_t i = 0; i < chunks; ++i) {
    size_t length = (size_t)(size - i * chunk < chunk ? size - i * chunk : chunk);
    if (fread(plain, 1, length, in) != length) fail("short read of the input");
    int raw = 0;
    for (int a = 4; a < argc; ++a) raw |= strtoull(argv[a], NULL, 10) == i;
    /* Room for one byte less than the chunk: a result that does not fit
     * would not save anything, so the chunk is stored. */
    size_t got = raw || length < 2 ? 0 : wimlib_compress(plain, length, packed, length - 1, compressor);
    if (got == 0) {
      memcpy(body + used, plain, length);
      used += length;
    } else {
      memcpy(body + used, packed, got);
      used += got;
    }
    ends[i] = used;
  }
  fclose(in);

  FILE *out = fopen(argv[3], "wb");
  if (!out) fail("cannot create the output");
  for (uint64_t i = 0; i + 1 < chunks; ++i) put_le(out, ends[i], entry);
  if (used && fwrite(body, 1, used, out) != used) fail("cannot write the output");
  if (fclose(out) != 0) fail("cannot write the output");
  wimlib_free_compressor(compressor);
  free(plain);
  free(packed);
  free(ends);
  free(body);
  return 0;
}
