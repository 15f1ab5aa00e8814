console.log('B');
