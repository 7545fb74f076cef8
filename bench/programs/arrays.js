// Array element writes and reads.
function main() {
    var a = [];
    for (var i = 0; i < 10000; i++) {
        a[i] = i % 97;
    }
    var sum = 0;
    for (var round = 0; round < 60; round++) {
        for (var j = 0; j < a.length; j++) {
            sum = (sum + a[j] * round) % 1000003;
            a[j] = (a[j] + 1) % 97;
        }
    }
    console.log(sum);
}
