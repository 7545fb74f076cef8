// Hash-like use of an object: 1,000 string keys set and read through h[k].
function main() {
    var h = {};
    var sum = 0;
    for (var round = 0; round < 20; round++) {
        for (var i = 0; i < 1000; i++) {
            h['k' + i] = (i * 7 + round) % 1009;
        }
        for (var j = 0; j < 1000; j++) {
            sum = (sum + h['k' + (j * 13 % 1000)]) % 1000003;
        }
    }
    console.log(sum);
}
