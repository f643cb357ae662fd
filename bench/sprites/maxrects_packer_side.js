// Packs the same rectangles with the npm package maxrects-packer: pages of at most 2048²,
// padding 0 or 2, power-of-two pages shrunk to their content, rotation off or on.
// Usage: node maxrects_packer_side.js <node_modules folder> <rects_N.json>...
'use strict';
const path = require('path');
const fs = require('fs');

async function main() {
const { MaxRectsPacker } = await import(
  path.join(process.argv[2], 'maxrects-packer', 'dist', 'maxrects-packer.mjs'));
const results = [];
for (const file of process.argv.slice(3)) {
  const sizes = JSON.parse(fs.readFileSync(file, 'utf8'));
  for (const padding of [0, 2]) {
  for (const rotation of [false, true]) {
    const repeats = sizes.length <= 500 ? 5 : 1;
    const times = [];
    let packer;
    for (let r = 0; r < repeats; r++) {
      const rects = sizes.map(([w, h]) => ({ width: w, height: h }));
      const start = process.hrtime.bigint();
      packer = new MaxRectsPacker(2048, 2048, padding,
        { smart: true, pot: true, square: false, allowRotation: rotation });
      packer.addArray(rects);
      times.push(Number(process.hrtime.bigint() - start) / 1e6);
    }
    times.sort((a, b) => a - b);
    // A rotated rectangle keeps its width and height and is only flagged, so areas are safe
    // to take from either.
    let frameArea = 0;
    let placed = 0;
    for (const bin of packer.bins) {
      for (const rect of bin.rects) { frameArea += rect.width * rect.height; placed++; }
    }
    const pageArea = packer.bins.reduce((sum, bin) => sum + bin.width * bin.height, 0);
    results.push({
      frames: sizes.length, rotation, padding, placed, pages: packer.bins.length,
      occupancy: frameArea / pageArea, ms: times[Math.floor(times.length / 2)],
    });
  }
  }
}
process.stdout.write(JSON.stringify(results) + '\n');
}

main();
