// A radar hunter: starts a robot to hunt, then, again and again, takes a
// bearing on the nearest turtle with the radar, turns to it, closes in and
// fires when the finder sees a turtle straight ahead.
//
//   node examples/hunter.mjs [--seconds 20]

import { connect } from 'quillmere';

const arg = (name, fallback) => {
  const i = process.argv.indexOf(name);
  return i > 0 ? Number(process.argv[i + 1]) : fallback;
};
const seconds = arg('--seconds', 20);

const t = await connect();
await t.name('hunter');
await t.robot(); // something to hunt
await t.finderRange(250); // let the finder look far ahead
const startScore = await t.score();
let shots = 0;
t.on('hit', () => console.log('the hunter was hit!'));

const end = Date.now() + seconds * 1000;
while (Date.now() < end && (await t.alive())) {
  // The radar's bearing has up to 20 degrees of noise: average a few.
  let sum = 0;
  let n = 0;
  for (let i = 0; i < 5; i++) {
    const seen = await t.radar(1);
    if (seen) {
      sum += seen[0];
      n++;
    }
  }
  if (n === 0) {
    await t.robot(); // nothing left: a new robot
    continue;
  }
  await t.left(sum / n);
  const [kind] = await t.finder();
  if (kind === 1) {
    // a turtle straight ahead: fire (no new bullet while the last one flies)
    if (await t.fire()) shots++;
  } else {
    await t.forward(4); // closer, for a sharper aim
  }
}
const score = await t.score();
console.log(`pulled the trigger ${shots} times, score ${startScore} -> ${score} (a hit gives 11 points, a shot costs 1)`);
t.close();
